#!/usr/bin/env bash
# Sets up the Windows test environment inside the project's ignored cache,
# idempotently (a second run with nothing changed changes nothing):
#
#     tools/windows/setup.sh [WHEEL]
#
#   - Wine from Debian (wine64, wine) and the MinGW-w64 C compiler, installed
#     with apt when missing;
#   - a Wine prefix of its own;
#   - the Windows CPython 3.13 (fetch_python.sh), made fit for Wine: the
#     ProcessPrng stand-in beside python.exe (processprng.c), `_wmi.pyd`
#     moved aside (it aborts the process under Wine when `platform` asks it),
#     and `python313._pth` listing the site-packages folder;
#   - the win_amd64 wheels of test-requirements.txt, pinned by hash;
#   - the sftp_main Windows wheel (WHEEL, or the newest one in dist/) and the
#     companion stand-ins.
#
# SFTP_MAIN_HOST_PYTHON is the Linux interpreter whose pip downloads and
# installs (default python3).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/env.sh"
host_python=${SFTP_MAIN_HOST_PYTHON:-python3}
export SFTP_MAIN_HOST_PYTHON=$host_python PIP_ROOT_USER_ACTION=ignore
wheel_flags=(--only-binary=:all: --platform win_amd64 --python-version 3.13 --implementation cp)

say() { echo "test-windows: $*" >&2; }

apt_install() {
    if [ "$(id -u)" -ne 0 ]; then
        say "$* missing; run 'sudo apt-get install $*'"
        exit 1
    fi
    say "installing $* with apt"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "$@"
}

# Reads or writes the stamp of one step: the step is redone when the hash
# of its inputs changed.
stamp_is() { [ "$(cat "$win_dir/stamps/$1" 2>/dev/null)" = "$2" ]; }
stamp_set() { mkdir -p "$win_dir/stamps"; echo "$2" > "$win_dir/stamps/$1"; }
hash_of() { cat "$@" | sha256sum | cut -d' ' -f1; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
installed wine64 && installed wine || apt_install wine64 wine
command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1 || apt_install gcc-mingw-w64-x86-64-posix

"$here/fetch_python.sh" >/dev/null

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "creating the Wine prefix"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi

shim_hash=$(hash_of "$here/processprng.c")
if ! stamp_is shim "$shim_hash" || [ ! -f "$win_python_dir/bcryptprimitives.dll" ]; then
    x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -shared -s \
        -o "$win_python_dir/bcryptprimitives.dll" "$here/processprng.c" -lbcrypt
    stamp_set shim "$shim_hash"
fi

if [ -f "$win_python_dir/_wmi.pyd" ]; then
    mkdir -p "$win_dir/aside"
    mv -f "$win_python_dir/_wmi.pyd" "$win_dir/aside/"
fi

# In ._pth mode the interpreter ignores PYTHONPATH: its search path is this
# file, and `import site` keeps the site module's start-up work.
mkdir -p "$win_site"
printf '%s\r\n' python313.zip . "$(windows_path "$win_site")" "import site" > "$win_python_dir/python313._pth"

# Dependencies: a change of the pinned set reinstalls everything, the
# module included, into a fresh folder.
reqs="$here/test-requirements.txt"
reqs_hash=$(hash_of "$reqs")
if ! stamp_is requirements "$reqs_hash"; then
    say "fetching the Windows wheels of the test dependencies"
    mkdir -p "$win_wheels"
    "$host_python" -m pip download -q --disable-pip-version-check --no-deps --require-hashes \
        "${wheel_flags[@]}" -d "$win_wheels" -r "$reqs"
    rm -rf "$win_site" "$win_dir/stamps/module"
    "$host_python" -m pip install -q --disable-pip-version-check --no-index --no-deps --require-hashes \
        "${wheel_flags[@]}" --find-links "$win_wheels" --target "$win_site" -r "$reqs"
    stamp_set requirements "$reqs_hash"
fi

# The module's wheel and the stand-ins, which the tests import beside it.
wheel=${1:-$(ls -t "$root"/dist/sftp_main-*-cp313-cp313-win_amd64.whl 2>/dev/null | head -n1 || true)}
if [ -z "$wheel" ] || [ ! -f "$wheel" ]; then
    say "no Windows wheel of sftp_main (run ./dev wheels first)"
    exit 1
fi
stand_ins=($(cd "$root" && git ls-files -co --exclude-standard stand_ins | sed "s|^|$root/|"))
module_hash=$(hash_of "$wheel" "${stand_ins[@]}")
if ! stamp_is module "$module_hash"; then
    say "installing $(basename "$wheel") and the stand-ins"
    "$host_python" -m pip install -q --disable-pip-version-check --no-deps --upgrade \
        "${wheel_flags[@]}" --target "$win_site" "$wheel"
    # Pure Python: the host's build backend (./dev's environment has it) makes its wheel.
    "$host_python" -m pip install -q --disable-pip-version-check --no-deps --upgrade \
        --no-build-isolation --target "$win_site" "$root/stand_ins"
    stamp_set module "$module_hash"
fi
