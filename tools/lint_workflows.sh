#!/usr/bin/env bash
# Checks every workflow file against GitHub's workflow schema
# (check-jsonschema) and for security problems (zizmor, offline: no GitHub
# API calls), with tools pinned by hash in tools/lint.txt; and that the
# hosted build's constraints pin what requirements-dev.txt pins:
#
#     tools/lint_workflows.sh PYTHON
#
# PYTHON is a CPython 3.13 (./dev's environment) that makes the tools'
# environment in the cache.  Both tools' findings are shown; any finding
# fails the run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${1:?usage: tools/lint_workflows.sh PYTHON}
cache=${SFTP_MAIN_CACHE:-$root/.cache}
tools="$cache/lint-tools"
step_prefix=lint
source "$root/tools/steps.sh"

install_tools() {
    rm -rf "$tools"
    "$python" -m venv "$tools"
    "$tools/bin/python" -m pip install --disable-pip-version-check --require-hashes --no-deps \
        -r "$root/tools/lint.txt"
    sha256sum "$root/tools/lint.txt" | cut -d' ' -f1 > "$tools/.installed-from"
}
if [ "$(cat "$tools/.installed-from" 2>/dev/null)" != "$(sha256sum "$root/tools/lint.txt" | cut -d' ' -f1)" ]; then
    step lint-tools "installing the workflow lint tools (check-jsonschema, zizmor; tools/lint.txt)" install_tools
fi

cd "$root"
workflows=(.github/workflows/*.yml)
"$tools/bin/check-jsonschema" --builtin-schema vendor.github-workflows "${workflows[@]}"
# The auditor persona reports everything zizmor knows, pedantic audits too.
"$tools/bin/zizmor" --offline --persona auditor --no-progress .github/workflows
# The hosted build's tools are the ones ./dev builds with: every pin of the
# constraints file is requirements-dev.txt's.
"$python" - <<'PY'
import re, sys
pins = lambda text: dict(re.findall(r"^([A-Za-z0-9_.-]+)==([^\s\\;]+)", text, re.M))
dev = pins(open("requirements-dev.txt").read())
hosted = pins(open("tools/wheels/build-constraints.txt").read())
wrong = {name: (version, dev.get(name)) for name, version in hosted.items() if dev.get(name) != version}
if not hosted or wrong:
    sys.exit(f"lint: tools/wheels/build-constraints.txt differs from requirements-dev.txt: {wrong or 'no pins'}")
print(f"lint: the hosted build's tools are requirements-dev.txt's: {', '.join(f'{n}=={v}' for n, v in hosted.items())}")
PY
