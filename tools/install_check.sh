#!/usr/bin/env bash
# Installs packages as a user installs them, into a new virtual environment
# of PYTHON that has nothing but pip, then imports the module there with
# warnings as errors and uses it:
#
#     tools/install_check.sh PYTHON PACKAGE...
#
# PACKAGE: a wheel or an sdist; pip takes the dependencies (and an sdist's
# build requirements) from the index, and no cache: an sdist is built anew.
set -euo pipefail
python=${1:?usage: tools/install_check.sh PYTHON PACKAGE...}
shift
env=$(mktemp -d "${TMPDIR:-/tmp}/sftp_main-install-check.XXXXXX")
trap 'rm -rf "$env"' EXIT
"$python" -m venv "$env"
"$env/bin/python" -m pip install --quiet --disable-pip-version-check --no-cache-dir "$@"
# From the environment's own folder, so that no checkout is on the path.
cd "$env"
"$env/bin/python" -W error - <<'PY'
import sys, sftp_main
assert sftp_main.__file__.startswith(sys.prefix), sftp_main.__file__
obj = sftp_main.VornaxSFTPMain({"host": "sftp.example", "user": "alice", "password": "secret"})
assert obj._upload("a", "b") is False  # not connected: the written answer
print(f"installed and imported on {sys.version.split()[0]}: {sftp_main.__file__}")
PY
