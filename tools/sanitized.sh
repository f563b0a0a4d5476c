#!/usr/bin/env bash
# Runs a command with the AddressSanitizer and UndefinedBehaviorSanitizer
# runtimes preloaded, for an interpreter that loads the sanitizer build of
# sftp_main:
#
#     tools/sanitized.sh COMMAND [ARG...]
#
# The interpreter itself is not instrumented; preloading puts the runtimes
# first in the link order, where the instrumented module needs them.  Every
# report, also one from a process that the command starts (tests spawn fresh
# interpreters), goes to a file of its own in a private directory; the run
# fails when any such file exists afterwards, and prints them all.
set -euo pipefail

cxx=${CXX:-g++}
runtimes=()
for lib in libasan.so libubsan.so; do
    path=$("$cxx" -print-file-name="$lib")
    # -print-file-name answers with the bare name when it has no such file.
    if [ "$path" = "$lib" ] || [ ! -e "$path" ]; then
        echo "sanitized.sh: $cxx has no $lib" >&2
        exit 2
    fi
    runtimes+=("$path")
done

reports=$(mktemp -d "${TMPDIR:-/tmp}/sftp-main-sanitizer.XXXXXX")
trap 'rm -rf "$reports"' EXIT

export LD_PRELOAD="${runtimes[*]}${LD_PRELOAD:+ $LD_PRELOAD}"
# Every Python object through malloc, where AddressSanitizer watches it;
# the interpreter's own small-object allocator would hide overruns and
# uses after free inside its pools.
export PYTHONMALLOC=malloc
# Leaks of the interpreter are not ours to judge (the module's references
# and blocks are counted by the leak tests).  A segmentation fault or an
# abort stays with AddressSanitizer, which reports it with a stack, rather
# than going to the fault handler that pytest installs.
#
# The two runtimes are separate libraries, and the undefined-behaviour one
# cannot write its own reports to a file: its log_path reaches only the
# address runtime (the first to define the function that sets it).  So an
# undefined-behaviour check aborts, and the address runtime reports that
# abort, with the check's handler and the module's line on its stack, into
# the report directory; the message itself goes to the process's stderr.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:handle_abort=1:allow_user_segv_handler=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
"$@" || status=$?

found=("$reports"/*)
if [ -e "${found[0]}" ]; then
    for report in "${found[@]}"; do
        echo "===== sanitizer report $(basename "$report") =====" >&2
        cat "$report" >&2
    done
    echo "sanitized.sh: ${#found[@]} sanitizer report(s): FAILED" >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
