#!/usr/bin/env bash
# Checks every workflow file against GitHub's workflow schema
# (check-jsonschema) and for security problems (zizmor, offline: no GitHub
# API calls), with tools pinned by hash in tools/lint.txt; that the hosted
# build's constraints pin what requirements-dev.txt pins; and, with the
# cibuildwheel the hosted jobs install (tools/wheels/cibuildwheel.txt),
# that pyproject.toml's [tool.cibuildwheel] is one it accepts (it refuses
# unknown keys) and selects, for Linux and for Windows, exactly the build
# identifiers that docs/development.md lists; that the sdist job checks
# the sdist's version against the tag; and, with tools/release_check.py,
# that the links to the repository are built from its address, reporting
# that a release is refused while the address is unset:
#
#     tools/lint_workflows.sh PYTHON [--release]
#
# --release: fails unless this tree's version can be released (the address
# set, a dated CHANGELOG.md entry).
# PYTHON is a CPython 3.13 (./dev's environment) that makes the tools'
# environments in the cache.  All tools' findings are shown; any finding
# fails the run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${1:?usage: tools/lint_workflows.sh PYTHON [--release]}
shift
cache=${SFTP_MAIN_CACHE:-$root/.cache}
tools="$cache/lint-tools"
step_prefix=lint
source "$root/tools/steps.sh"

# A virtual environment at $1 with the hash-pinned requirements $2, made
# again only when that file has changed.
install_pinned() {
    rm -rf "$1"
    "$python" -m venv "$1"
    "$1/bin/python" -m pip install --disable-pip-version-check --require-hashes --no-deps -r "$2"
    sha256sum "$2" | cut -d' ' -f1 > "$1/.installed-from"
}
ensure_pinned() {  # NAME VENV REQUIREMENTS DESCRIPTION
    if [ "$(cat "$2/.installed-from" 2>/dev/null)" != "$(sha256sum "$3" | cut -d' ' -f1)" ]; then
        step "$1" "$4" install_pinned "$2" "$3"
    fi
}
ensure_pinned lint-tools "$tools" "$root/tools/lint.txt" \
    "installing the workflow lint tools (check-jsonschema, zizmor; tools/lint.txt)"
# cibuildwheel in an environment of its own: its requirements and the lint
# tools' need not agree.
cibuildwheel="$cache/cibuildwheel"
ensure_pinned lint-cibuildwheel "$cibuildwheel" "$root/tools/wheels/cibuildwheel.txt" \
    "installing cibuildwheel (tools/wheels/cibuildwheel.txt)"

cd "$root"
shopt -s nullglob
workflows=(.github/workflows/*.yml .github/workflows/*.yaml)
shopt -u nullglob
"$tools/bin/check-jsonschema" --builtin-schema vendor.github-workflows "${workflows[@]}"
"$tools/bin/check-jsonschema" --builtin-schema vendor.dependabot .github/dependabot.yml
# The auditor persona reports everything zizmor knows, pedantic audits too;
# .github holds the workflows and Dependabot's configuration.
"$tools/bin/zizmor" --offline --persona auditor --no-progress .github
# The tag names the version, and the sdist job checks it first: its step
# runs on every tag and for every run by hand to the package index, after
# the build and before the upload, and everything that builds or
# publishes waits for that job.
"$tools/bin/python" - <<'PY'
import sys
from ruamel.yaml import YAML
jobs = YAML(typ="safe").load(open(".github/workflows/wheels.yml"))["jobs"]
steps = jobs["sdist"]["steps"]
named = [i for i, step in enumerate(steps) if step.get("name") == "check the version against the tag"]
problems = []
if len(named) != 1:
    problems.append("the sdist job has no one step 'check the version against the tag'")
else:
    step = steps[named[0]]
    condition = " ".join(str(step.get("if", "")).split())
    for part in ("github.ref_type == 'tag'", "github.event_name == 'workflow_dispatch' && inputs.index == 'pypi'"):
        if part not in condition:
            problems.append(f"its condition lacks {part}")
    if " && " in condition.replace("(github.event_name == 'workflow_dispatch' && inputs.index == 'pypi')", ""):
        problems.append(f"its condition narrows the check: {condition}")
    if step.get("env", {}).get("TAG") != "${{ github.ref_name }}" or 'dist/sftp_main-${TAG#v}.tar.gz' not in step.get("run", ""):
        problems.append("it does not compare the sdist's file name with the tag")
    if 'python tools/release_check.py --release "${TAG#v}"' not in step.get("run", ""):
        problems.append("it does not run tools/release_check.py --release for the tag's version")
    if step.get("continue-on-error"):
        problems.append("a failed check lets the job go on")
    build = [i for i, s in enumerate(steps) if s.get("name") == "build"]
    upload = [i for i, s in enumerate(steps) if str(s.get("uses", "")).startswith("actions/upload-artifact@")]
    if not (build and upload and build[0] < named[0] < upload[0]):
        problems.append("it does not come after the build and before the upload")
for job in ("wheels", "publish"):
    needs = jobs[job].get("needs", [])
    if "sdist" not in ([needs] if isinstance(needs, str) else needs):
        problems.append(f"the job {job} does not wait for the sdist job")
if problems:
    sys.exit("lint: the tag check of .github/workflows/wheels.yml: " + "; ".join(problems))
print("lint: the sdist job checks the sdist's version against the tag, before wheels and publish")
PY
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
# The wheels the hosted jobs build: cibuildwheel reads the configuration
# as the jobs do (no CIBW_* variable of this shell in the way) and lists
# what it selects; docs/development.md lists the same, in the indented
# block after the paragraph that says this check "checks this list".
"$python" - "$cibuildwheel/bin/python" <<'PY'
import os, re, subprocess, sys
docs = open("docs/development.md").read()
block = re.search(r"lint-workflows`\s+checks this list[^\n]*(?:\n[^\n]+)*\n\n((?:[ ]+\S+\n)+)", docs)
if not block:
    sys.exit("lint: docs/development.md lists no build identifiers")
documented = sorted(block.group(1).split())
env = {name: value for name, value in os.environ.items() if not name.startswith("CIBW_")}
selected = []
for platform in ("linux", "windows"):
    run = subprocess.run([sys.argv[1], "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform],
                         env=env, capture_output=True, text=True)
    if run.returncode:
        sys.exit(f"lint: cibuildwheel refuses pyproject.toml for {platform}:\n{run.stderr.strip()}")
    selected += run.stdout.split()
if sorted(selected) != documented:
    sys.exit(f"lint: cibuildwheel selects {sorted(selected)}, docs/development.md lists {documented}")
print(f"lint: cibuildwheel selects the build identifiers docs/development.md lists: {' '.join(selected)}")
PY
# The address and the links built from it; with --release, whether this
# version can be released.
"$python" tools/release_check.py "$@"
