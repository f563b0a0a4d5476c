#!/usr/bin/env bash
# The test suite in the Windows CPython 3.13 under Wine, against the
# Windows wheel:
#
#     tools/windows/test.sh WHEEL --hosted
#     tools/windows/test.sh WHEEL [PYTEST-ARG...]
#
# setup.sh first installs everything as the hosted workflow's Windows job
# does.  With --hosted, pyproject.toml's Windows test-command, as written,
# then runs through cmd.exe from a fresh temporary folder on drive C:, while
# the checkout is on drive Z: (the hosted runner's checkout is on D:).
# Otherwise pytest runs from the checkout with the given arguments.  No
# Linux-side server or service runs: the tests start their embedded SFTP
# servers as Windows processes, and skip the OpenSSH cases.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/env.sh"
wheel=${1:?usage: tools/windows/test.sh WHEEL [--hosted | PYTEST-ARG...]}
shift

"$here/setup.sh" "$wheel"

if [ "${1:-}" = --hosted ]; then
    test_command=$(hosted_command test-command "$wheel")
    mkdir -p "$WINEPREFIX/drive_c/Temp"
    work=$(mktemp -d "$WINEPREFIX/drive_c/Temp/cibw-run-XXXXXX")
    trap 'rm -rf "$work"' EXIT
    echo "test-windows: C:\\Temp\\$(basename "$work")> $test_command" >&2
    win_shell "C:\\Temp\\$(basename "$work")" "$test_command"
else
    cd "$root"
    # The Linux runs' cache stays theirs.
    win_run_python -m pytest -p no:cacheprovider "$@"
fi
