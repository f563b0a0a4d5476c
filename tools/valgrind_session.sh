#!/usr/bin/env bash
# An end-to-end session under valgrind's memcheck: the demo (upload,
# download, every forwarding operation, a failed download and a failed
# stat) against the embedded server, which runs in a child process that
# valgrind does not follow.
#
#     tools/valgrind_session.sh PYTHON [DEMO-ARG...]
#
# PYTHON is the interpreter of an environment with sftp_main installed.
# Fails when the demo fails or when memcheck reports any error with a frame
# in the module in one of its stacks; those errors are printed.  Errors
# elsewhere (the interpreter, OpenSSL) are only counted; there are none
# today, so no suppressions are needed.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: tools/valgrind_session.sh PYTHON [DEMO-ARG...]" >&2
    exit 2
fi
python=$1
shift
tools=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$tools")

out=$(mktemp -d "${TMPDIR:-/tmp}/sftp-main-valgrind.XXXXXX")
trap 'rm -rf "$out"' EXIT

# Every Python object through malloc, where memcheck sees each block.
# Leaks are left to the leak tests: an interpreter that exits does not
# free what is still alive, which memcheck would call lost (its XML output
# lists leaks unless their kinds are shown as none).  A forked child
# only executes the server's interpreter, outside valgrind, and writes
# nothing of its own.
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --trace-children=no --child-silent-after-fork=yes \
    --leak-check=no --show-leak-kinds=none --track-origins=yes --num-callers=40 --error-limit=no \
    --xml=yes --xml-file="$out/memcheck.%p.xml" \
    "$python" "$root/demo/run_demo.py" --size-mib 0.5 "$@" || status=$?
if [ "$status" -ne 0 ]; then
    echo "valgrind_session.sh: the demo under valgrind exited with status $status" >&2
fi

"$python" "$tools/valgrind_report.py" --module 'sftp_main.cpython-*.so' "$out"/memcheck.*.xml || status=$?
exit "$status"
