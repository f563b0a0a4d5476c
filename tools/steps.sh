# Set-up steps, one line each: sourced by ./dev and by the tools/*.sh
# scripts it runs.
#
#     source tools/steps.sh
#     step NAME "what it does" COMMAND [ARG...]
#
# runs COMMAND (a program or a shell function; errexit holds inside it) with
# its output going to .cache/logs/NAME.log, and shows one line:
#
#     dev: what it does ... done in 12.3 s
#
# When COMMAND fails, the line says so and the last lines of that log
# follow; the shell then exits with COMMAND's status.  `steps_run` counts
# the steps run, so a caller can say that everything was up to date.
# `step_prefix` (default: the script's name) starts every line.

steps_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
steps_log_dir="$steps_root/.cache/logs"
steps_run=0
step_prefix=${step_prefix:-$(basename "$0")}
# Lines of the log shown when a step fails.
steps_tail_lines=25

# Microseconds since the epoch, for durations to a tenth of a second.
steps_now_us() {
    local now=${EPOCHREALTIME/[.,]/}
    echo "${now#0}"
}

step() {
    local name=$1 label=$2
    shift 2
    local log="$steps_log_dir/$name.log"
    mkdir -p "$steps_log_dir"
    printf '%s: %s ... ' "$step_prefix" "$label" >&2
    steps_run=$((steps_run + 1))
    local started status elapsed
    started=$(steps_now_us)
    # A Ctrl-C ends the line before it ends the script.
    trap 'printf "interrupted\n" >&2; exit 130' INT
    # In a subshell outside any condition, so that errexit stops a function
    # at its first failing command.
    set +e
    (set -e; "$@") </dev/null >"$log" 2>&1
    status=$?
    set -e
    trap - INT
    elapsed=$(( ($(steps_now_us) - started) / 100000 ))
    elapsed="$((elapsed / 10)).$((elapsed % 10)) s"
    if [ "$status" -eq 0 ]; then
        printf 'done in %s\n' "$elapsed" >&2
        return 0
    fi
    printf 'failed after %s (exit status %d); the end of %s:\n' "$elapsed" "$status" "${log#"$steps_root"/}" >&2
    tail -n "$steps_tail_lines" "$log" | sed 's/^/    /' >&2
    exit "$status"
}
