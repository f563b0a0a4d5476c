#!/usr/bin/env bash
# Makes (once) a Debian sid root at $1 with CPython 3.14 and 3.15, their
# headers, and what the suite needs (OpenSSH, nss_wrapper, chattr, setfacl),
# from the archive that the host's apt already uses.  Needs root.  A root
# that is complete carries a stamp of the package list; an interrupted one
# is made again from the start.  With --check first, only says (by its
# status) whether the root at $2 is complete.
set -euo pipefail

check=false
if [ "$1" = --check ]; then
    check=true
    shift
fi
target=$1
packages=(
    python3.14-dev python3.14-venv python3.15-dev python3.15-venv
    g++ make git ca-certificates
    openssh-server openssh-client libnss-wrapper e2fsprogs acl util-linux
)
stamp_text="sid ${packages[*]}"
if [ "$(cat "$target/.sftp_main-stamp" 2>/dev/null)" = "$stamp_text" ]; then
    exit 0
fi
if $check; then
    exit 1
fi

# The archive's address, from the host's own apt sources (deb822 or the
# one-line list), the first that is not the security archive.
mirror=$( (cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs:[[:space:]]*//p';
           cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p') \
          | tr ' ' '\n' | grep -v -- '-security' | grep -m1 .) || true
if [ -z "$mirror" ]; then
    echo "sid: no Debian archive found in the host's apt sources" >&2
    exit 1
fi

if ! command -v debootstrap >/dev/null 2>&1; then
    source "$(dirname "$0")/../apt.sh"
    apt_get update
    apt_get install -y --no-install-recommends debootstrap
fi

rm -rf "$target"
mkdir -p "$(dirname "$target")"
debootstrap --variant=minbase sid "$target" "$mirror"

# The archive is a fixed snapshot whose Release has expired.
echo 'Acquire::Check-Valid-Until "false";' > "$target/etc/apt/apt.conf.d/99snapshot"
# No service installed here may start on the host's ports.
printf '#!/bin/sh\nexit 101\n' > "$target/usr/sbin/policy-rc.d"
chmod 0755 "$target/usr/sbin/policy-rc.d"
cp /etc/resolv.conf "$target/etc/resolv.conf"
mkdir -p "$target/usr/local/share/ca-certificates"
cp /usr/local/share/ca-certificates/*.crt "$target/usr/local/share/ca-certificates/" 2>/dev/null || true

"$(dirname "$0")/run.sh" "$target" / bash -c '
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "$@"
    update-ca-certificates
    apt-get clean' sid "${packages[@]}"
echo "$stamp_text" > "$target/.sftp_main-stamp"
