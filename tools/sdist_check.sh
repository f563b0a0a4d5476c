#!/usr/bin/env bash
# The two sdists (sftp_main and the companion stand-ins) built from the tree
# as a release builds them, into dist/sdist/; then, in a new virtual
# environment that has nothing but pip, each installed from its sdist alone
# (pip builds the wheels, taking the build requirements from the index) and
# the module imported and used: what the sdists hold is enough to build.
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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
base=$("$python" -c 'import sys; print(sys._base_executable)')
"$base" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-cache-dir "$out"/*.tar.gz
cd "$work"
"$work/venv/bin/python" - <<'PY'
import sftp_main
obj = sftp_main.VornaxSFTPMain({"host": "sftp.example", "user": "alice", "password": "secret"})
assert obj._upload("a", "b") is False  # not connected: the written answer
print(f"sdist: installed from the sdists alone and imported: {sftp_main.__file__}")
PY
