"""The guides against the tree and against each other: README's exit-code
and settings tables say what the deployment guide's say (row for row, in
their first columns), the status check's table of codes says what README's
says of each exit code and it reads the very events the task starts after,
and every path of this repository a guide names in backticks or a link
exists.

  python3 -m tests.docs_check      (from the repository's root)
"""

import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
GUIDES = ["README.md", "docs/DEPLOYING.md", "docs/DEVELOPING.md", "tests/e2e/README.md",
          "bench/README.md"]
SHARED_TABLES = ("Code", "Value")
# Where a guide's path may start: the repository's own top-level entries.
TOP = {p.name for p in REPO.iterdir() if not p.name.startswith(".")} - {"build", "dist"}


def tables(text):
    """{first heading: [rows as cell lists]} of a Markdown text's tables."""
    found, rows = {}, None
    for line in text.splitlines() + [""]:
        if line.startswith("|"):
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if rows is None:
                rows = found.setdefault(cells[0], [])
            elif not all(set(c) <= set("-: ") for c in cells):
                rows.append(cells)
        else:
            rows = None
    return found


def script_data(text, name):
    """The rows of a here-string `$name = @' ... '@` of a PowerShell script."""
    block = re.search(r"^\$%s = @'\n(.*?)\n'@$" % name, text, re.S | re.M)
    return [line.split("|") for line in block.group(1).splitlines()] if block else []


def status_check_problems(readme):
    """The status check's decisions against what they must agree with."""
    from ship.check.product_promises import POWER_ON_EVENTS
    script = (REPO / "ship" / "vantrel-status.ps1").read_text(encoding="ascii")
    codes = {int(row[0]): row[2] for row in script_data(script, "Codes")}
    problems = ["exit code %s: the status check says %r, README %r" % (code, codes.get(int(code)), meaning)
                for code, meaning in ((row[0], re.sub(r"\*\*|`", "", row[1])) for row in readme["Code"])
                if codes.get(int(code)) != meaning]
    events = [tuple(row) for row in script_data(script, "PowerOnEvents")]
    if events != [event[1:] for event in POWER_ON_EVENTS]:
        problems.append("the status check reads the events %s, the task starts after %s"
                        % (events, [event[1:] for event in POWER_ON_EVENTS]))
    zero = [row[0] for row in script_data(script, "States") if row[1] == "0"]
    if zero != ["configured"]:
        problems.append("the status check exits 0 for %s, not for configured alone" % zero)
    return problems


def named_paths(path, text):
    """Paths of this repository a guide names, resolved from where it sits."""
    for link in re.findall(r"\]\(([^)#\s]+)", text):
        if not re.match(r"[a-z]+:", link):
            yield link, (path.parent / link)
    for quoted in re.findall(r"`([^`\s]+)`", text):
        first = quoted.split("/")[0]
        if "/" in quoted and first in TOP and not re.search(r"[*$<>{}]|\bVERSION\b|PRESET", quoted):
            yield quoted, REPO / quoted


def main():
    problems = []
    readme = tables((REPO / "README.md").read_text(encoding="utf-8"))
    guide = tables((REPO / "docs" / "DEPLOYING.md").read_text(encoding="utf-8"))
    for heading in SHARED_TABLES:
        width = len(readme.get(heading, [[]])[0]) if readme.get(heading) else 0
        ours = readme.get(heading, [])
        theirs = [row[:width] for row in guide.get(heading, [])]
        if not ours or any(row not in theirs for row in ours):
            problems.append("README's %r table differs from docs/DEPLOYING.md's: %s"
                            % (heading, [row for row in ours if row not in theirs] or "missing"))
    problems += status_check_problems(readme)
    for name in GUIDES:
        path = REPO / name
        for shown, target in named_paths(path, path.read_text(encoding="utf-8")):
            if not target.resolve().exists():
                problems.append("%s names %s, which does not exist" % (name, shown))
    for problem in problems:
        print("FAIL  " + problem)
    print("%d guides checked: %s" % (len(GUIDES), "%d problem(s)" % len(problems) if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
