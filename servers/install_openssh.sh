#!/usr/bin/env bash
# Installs what the OpenSSH test server needs from Debian's packages: the
# sshd binary and nss_wrapper, which lets that sshd see a test account that
# exists only in files of its own.  Does nothing when all of it is present.
# Needs root (it is run from the set-up script and from CI, both as root).
set -euo pipefail

packages=(openssh-server libnss-wrapper)

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    if [ "$status" != "install ok installed" ]; then
        missing+=("$pkg")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "install_openssh: need root to install: ${missing[*]}" >&2
    exit 1
fi

# The package's maintainer scripts would start a system-wide sshd listening
# on port 22 of every address; the tests start their own, so keep the
# service from starting while installing (unless a policy is already there).
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    made_policy=1
fi
cleanup() {
    if [ "$made_policy" -eq 1 ]; then
        rm -f "$policy"
    fi
}
trap cleanup EXIT

# Waits, within a bound and saying so, while another installation holds
# apt's locks.
source "$(dirname "${BASH_SOURCE[0]}")/../tools/apt.sh"
echo "install_openssh: installing ${missing[*]}"
apt_get update
apt_get install -y --no-install-recommends "${missing[@]}"
