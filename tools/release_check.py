"""The repository's address, the links built from it, and what a release needs.

    python tools/release_check.py [--release [VERSION]]

`Source` in pyproject.toml's [project.urls] is the one place that holds the
repository's address.  Issues, Changelog and Documentation there, and the
README's links to docs/, CHANGELOG.md and the release's files (the package
index shows the README, and no distribution holds docs/), are built from
it; this checks that they are, and that the README names no docs/ page as
plain text.  Until the address is known, Source is a placeholder under
the reserved top-level domain .invalid, which never resolves, and a release
is refused: without --release that is reported and the check passes;
with --release it fails, as it does when VERSION (default: pyproject.toml's)
is not pyproject.toml's version or CHANGELOG.md has no dated entry
"## VERSION (YYYY-MM-DD)" for it.
"""

import argparse
import datetime
import re
import sys
import tomllib
from pathlib import Path
from urllib.parse import urlsplit

root = Path(__file__).resolve().parents[1]
project = tomllib.loads((root / "pyproject.toml").read_text("utf-8"))["project"]
stand_ins = tomllib.loads((root / "stand_ins/pyproject.toml").read_text("utf-8"))["project"]
version = project["version"]
urls = project.get("urls", {})
source = urls.get("Source", "")
unset = (urlsplit(source).hostname or "").endswith(".invalid")

parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
parser.add_argument("--release", nargs="?", const=version, metavar="VERSION",
                    help="refuse unless VERSION can be released from this tree")
release = parser.parse_args().release

problems = []
wanted = {"Source": source, "Issues": f"{source}/issues",
          "Changelog": f"{source}/blob/main/CHANGELOG.md",
          "Documentation": f"{source}/blob/main/docs/usage.md"}
if urls != wanted:
    problems.append(f"[project.urls] in pyproject.toml must be exactly {wanted}, built from Source")
if not unset and not re.fullmatch(r"https://github\.com/[\w.-]+/[\w.-]+", source):
    problems.append(f"Source {source!r} is neither a GitHub repository's address nor the placeholder under .invalid")

# Every link to a page of the repository starts with Source; the
# release's page and the stand-ins' wheel name this version's tag.
readme = (root / "README.md").read_text("utf-8")
url = r"https?://[^\s)>\]\"'`]*[^\s)>\]\"'`.,;:]"
links = re.findall(url, readme)
release_files = {f"{source}/releases/tag/v{version}",
                 f"{source}/releases/download/v{version}/sftp_main_stand_ins-{stand_ins['version']}-py3-none-any.whl"}
for link in links:
    path = link.removeprefix(source)
    if link.startswith(source + "/blob/main/"):
        page = path.removeprefix("/blob/main/").split("#")[0]
        if page not in ("CHANGELOG.md", "LICENSE") and not (page.startswith("docs/") and (root / page).is_file()):
            problems.append(f"the README links to {page}, which is no page of the repository")
    elif "/releases/" in link and link not in release_files:
        problems.append(f"the README's link {link} is not one of {sorted(release_files)}")
    elif re.search(r"/(docs|blob|tree|releases)/", link) and not link.startswith(source + "/"):
        problems.append(f"the README's link {link} is not built from Source {source}")
for name in release_files:
    if name not in links:
        problems.append(f"the README lacks the link {name}")
plain = re.sub(url, "", re.sub(r"\[[^\]]*\]\(" + url + r"\)", "", readme))
for page in sorted(set(re.findall(r"docs/[\w.-]*\w", plain))):
    problems.append(f"the README names {page} as plain text, which the index shows as no link")

if release is not None:
    if unset:
        problems.append(f"a release is refused: the repository's address is unset ([project.urls] Source is the placeholder {source})")
    if release != version:
        problems.append(f"the version to release, {release}, is not pyproject.toml's {version}")
    changelog = (root / "CHANGELOG.md").read_text("utf-8")
    dated = re.search(rf"^## {re.escape(release)} \((\d{{4}}-\d{{2}}-\d{{2}})\)$", changelog, re.M)
    try:
        dated and datetime.date.fromisoformat(dated.group(1))
    except ValueError:
        dated = None
    if not dated:
        problems.append(f"CHANGELOG.md has no dated entry '## {release} (YYYY-MM-DD)'")

if problems:
    sys.exit("release check: " + "\n    ".join(["the tree is not ready:", *dict.fromkeys(problems)]))
ours = sum(link.startswith(source + "/") for link in links)
print(f"release check: [project.urls] and the README's {ours} links to the repository are built from Source {source}")
if release is not None:
    print(f"release check: {release} can be released: its address is set and CHANGELOG.md dates its entry")
elif unset:
    print("release check: a release is refused while the repository's address is unset: "
          "Source in [project.urls] is the placeholder " + source)
