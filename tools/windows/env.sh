# Settings shared by the Windows scripts; sourced, not run.  Every file
# lives in the project's ignored cache: the interpreter as fetched, the
# interpreter the hosted test step installs into, and a Wine prefix of its
# own.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cache=${SFTP_MAIN_CACHE:-$root/.cache}
win_dir="$cache/windows"
# As fetched (fetch_python.sh); it runs the hosted runner's part.
win_fetched_dir="$win_dir/python"
# A copy made fit for Wine, with pip, into which the hosted step installs.
win_python_dir="$win_dir/installed"
win_python="$win_python_dir/python.exe"
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

# Runs a Windows program.  Its standard output and error must be pipes (a
# file or /dev/null makes the interpreter's start-up fail), so both go
# through cat; the program's own exit status is kept.
win_run() {
    { wine "$@" </dev/null 2>&1 1>&3 3>&- | cat >&2 3>&-
      exit "${PIPESTATUS[0]}"; } 3>&1 | cat
    return "${PIPESTATUS[0]}"
}

# The installed interpreter, its Scripts folder first on the PATH, as a
# hosted runner's activated environment has it.
win_run_python() {
    WINEPATH="$(windows_path "$win_python_dir");$(windows_path "$win_python_dir/Scripts")" \
        win_run "$win_python" -X utf8 "$@"
}

# Runs COMMAND through cmd.exe from the folder CWD, the way the hosted
# runner's tool does it: Python's subprocess with shell=True (the fetched
# interpreter plays the tool), with the installed interpreter on the PATH
# and the checkout in GITHUB_WORKSPACE, as the runner names it.
#     win_shell CWD COMMAND
win_shell() {
    GITHUB_WORKSPACE="$(windows_path "$root")" \
    WINEPATH="$(windows_path "$win_python_dir");$(windows_path "$win_python_dir/Scripts")" \
        win_run "$win_fetched_dir/python.exe" -X utf8 -c \
        'import subprocess, sys; sys.exit(subprocess.call(sys.argv[2], shell=True, cwd=sys.argv[1]))' "$1" "$2"
}

# pyproject.toml's command KEY of the hosted Windows job (its
# [tool.cibuildwheel.windows] value, else [tool.cibuildwheel]'s), with the
# placeholders {project}, {package} and {wheel} filled in.
#     hosted_command KEY WHEEL
hosted_command() {
    "${SFTP_MAIN_HOST_PYTHON:-python3}" - "$root/pyproject.toml" "$1" "$(windows_path "$root")" "$(windows_path "$2")" <<'PY'
import sys, tomllib
path, key, project, wheel = sys.argv[1:]
config = tomllib.load(open(path, "rb"))["tool"]["cibuildwheel"]
command = config.get("windows", {}).get(key, config.get(key))
if command is None:
    sys.exit(f"pyproject.toml: no {key} in [tool.cibuildwheel]")
print(command.replace("{project}", project).replace("{package}", project).replace("{wheel}", wheel))
PY
}
