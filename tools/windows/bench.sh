#!/usr/bin/env bash
# The benchmark (bench/bench_methods.py, timed; callgrind has no place
# here) in the Windows interpreter under Wine, against the installed
# Windows wheel:
#
#     tools/windows/bench.sh [BENCH-ARG...]
#
# Wine is not Windows: its figures are for information only.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/env.sh"
"$here/setup.sh"
cd "$root"
# In ._pth mode the interpreter puts no script's folder on its path, and
# the benchmark imports its neighbours.
win_run_python -c 'import runpy, sys
sys.path.insert(0, "bench")
sys.argv[0] = "bench/bench_methods.py"
runpy.run_path(sys.argv[0], run_name="__main__")' "$@"
