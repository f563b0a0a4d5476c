#!/usr/bin/env bash
# The benchmark (bench/bench_methods.py, timed; callgrind has no place
# here) in the Windows interpreter under Wine, against the installed
# Windows wheel:
#
#     tools/windows/bench.sh WHEEL [BENCH-ARG...]
#
# Wine is not Windows: its figures are for information only.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/env.sh"
wheel=${1:?usage: tools/windows/bench.sh WHEEL [BENCH-ARG...]}
shift
"$here/setup.sh" "$wheel"
cd "$root"
# Run through runpy, the benchmark has no folder of its own on the path,
# and it imports its neighbours.
win_run_python -c 'import runpy, sys
sys.path.insert(0, "bench")
sys.argv[0] = "bench/bench_methods.py"
runpy.run_path(sys.argv[0], run_name="__main__")' "$@"
