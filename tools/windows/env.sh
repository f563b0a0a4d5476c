# Settings shared by the Windows test scripts; sourced, not run.  Every
# file lives in the project's ignored cache: the interpreter, a Wine prefix
# of its own, the site-packages folder and the downloaded wheels.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cache=${SFTP_MAIN_CACHE:-$root/.cache}
win_dir="$cache/windows"
win_python_dir="$win_dir/python"
win_python="$win_python_dir/python.exe"
win_site="$win_dir/site-packages"
win_wheels="$win_dir/wheels"
export WINEPREFIX="$win_dir/prefix"
# Quiet, headless, and no offer to install Wine's .NET and HTML engines.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

# The Windows form of a Linux path: Wine's drive Z: is the Linux root.
windows_path() {
    local path
    path=$(realpath -m "$1")
    echo "Z:${path//\//\\}"
}

# Runs the Windows interpreter.  Its standard output and error must be
# pipes (a file or /dev/null makes its start-up fail), so both go through
# cat; the interpreter's own exit status is kept.
win_run_python() {
    { wine "$win_python" -X utf8 "$@" </dev/null 2>&1 1>&3 3>&- | cat >&2 3>&-
      exit "${PIPESTATUS[0]}"; } 3>&1 | cat
    return "${PIPESTATUS[0]}"
}
