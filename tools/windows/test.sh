#!/usr/bin/env bash
# Runs the test suite in the Windows CPython 3.13 under Wine, against the
# installed Windows wheel of sftp_main:
#
#     tools/windows/test.sh [PYTEST-ARG...]
#
# setup.sh prepares everything first.  The SFTP servers stay Linux
# processes: the Linux side's control service (servers/control.py, on
# 127.0.0.1, with a token of this run's) starts, stops and kills them for
# the tests, and ends with this script.
#
# SFTP_MAIN_HOST_PYTHON is the Linux interpreter for pip and the control
# service, which runs the servers (it needs asyncssh; default python3).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/env.sh"
host_python=${SFTP_MAIN_HOST_PYTHON:-python3}

"$here/setup.sh"

run=$(mktemp -d "${TMPDIR:-/tmp}/sftp-main-wine.XXXXXX")
control_pid=
finish() {
    if [ -n "$control_pid" ]; then
        kill "$control_pid" 2>/dev/null || true
        wait "$control_pid" 2>/dev/null || true
    fi
    rm -rf "$run"
}
trap finish EXIT

SFTP_MAIN_CONTROL_TOKEN=$(head -c 24 /dev/urandom | base64 | tr '+/' '-_')
export SFTP_MAIN_CONTROL_TOKEN
(cd "$root" && exec "$host_python" -m servers.control --ready-file "$run/port") &
control_pid=$!
for _ in $(seq 300); do
    [ -s "$run/port" ] && break
    kill -0 "$control_pid" 2>/dev/null || { echo "test-windows: the control service did not start" >&2; exit 1; }
    sleep 0.1
done
[ -s "$run/port" ] || { echo "test-windows: the control service did not report its port" >&2; exit 1; }
export SFTP_MAIN_CONTROL="$(cat "$run/port"):$SFTP_MAIN_CONTROL_TOKEN"

cd "$root"
# The Linux runs' cache stays theirs.
win_run_python -m pytest -p no:cacheprovider "$@"
