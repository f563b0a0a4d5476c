#!/usr/bin/env bash
# The two sdists (sftp_main and the companion stand-ins) built from the tree
# as a release builds them, into dist/sdist/; then, in a new virtual
# environment that has nothing but pip, each installed from its sdist alone
# (pip builds the wheels, taking the build requirements from the index) and
# the module imported and used: what the sdists hold is enough to build.
# The same with CPython 3.14 and 3.15 in the Debian sid root, when given.
#
#     tools/sdist_check.sh PYTHON    (the project's venv python, which has scikit-build-core)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${1:?usage: tools/sdist_check.sh PYTHON}
out="$root/dist/sdist"
rm -rf "$out"
mkdir -p "$out"
build_sdist='import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))'
for project in "$root" "$root/stand_ins"; do
    (cd "$project" && "$python" -c "$build_sdist" "$out" | tail -n 1)
done
for sdist in "$out"/*.tar.gz; do
    echo "sdist: $(basename "$sdist"): $(tar -tzf "$sdist" | wc -l) files"
done

base=$("$python" -c 'import sys; print(sys._base_executable)')
installed=$("$root/tools/install_check.sh" "$base" "$out"/*.tar.gz)
echo "sdist: $installed"
# SFTP_MAIN_SID_ROOT: the Debian sid root (./dev gives it when run as
# root), whose CPython 3.14 and 3.15 do the same.
if [ -n "${SFTP_MAIN_SID_ROOT:-}" ]; then
    for version in 3.14 3.15; do
        installed=$("$root/tools/sid/run.sh" "$SFTP_MAIN_SID_ROOT" "$root" \
            "$root/tools/install_check.sh" "/usr/bin/python$version" "$out"/*.tar.gz)
        echo "sdist: $installed"
    done
else
    echo "sdist: not checked on 3.14 and 3.15 (no sid root: ./dev sdist makes one when run as root)"
fi
