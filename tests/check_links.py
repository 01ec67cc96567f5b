#!/usr/bin/python3
"""Every relative link in README.md and docs/ reaches a file or folder of the
tree, and, where it names one, a heading of that page (as the code host makes
anchors of headings). Links to other sites are not followed.

    tests/check_links.py SOURCE_DIR
"""
import pathlib
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^\s*(```|~~~)")


def prose_lines(text):
    """The page's lines outside fenced and indented code, with inline code removed."""
    fenced = False
    for line in text.splitlines():
        if FENCE.match(line):
            fenced = not fenced
            continue
        if fenced or line.startswith("    "):
            continue
        yield re.sub(r"`[^`]*`", "", line) if not line.startswith("#") else line


def anchors(page):
    """The anchors the code host gives the page's headings, duplicates numbered."""
    made, seen = set(), {}
    for line in prose_lines(page.read_text()):
        heading = re.match(r"^#{1,6}\s+(.*?)\s*#*$", line)
        if not heading:
            continue
        text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading.group(1))
        slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        made.add(slug if count == 0 else f"{slug}-{count}")
    return made


def problems_of(page, root):
    for number, line in enumerate(prose_lines(page.read_text()), 1):
        for target in LINK.findall(line):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue
            path, _, anchor = target.partition("#")
            goal = (page.parent / path).resolve() if path else page
            where = f"{page.relative_to(root)}: ({target})"
            if root not in goal.parents and goal != root:
                yield f"{where} leaves the tree"
            elif not goal.exists():
                yield f"{where}: no such file"
            elif anchor and (goal.suffix != ".md" or anchor not in anchors(goal)):
                yield f"{where}: no heading #{anchor} there"


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    problems = [problem for page in pages for problem in problems_of(page, root)]
    for problem in problems:
        print("FAILED:", problem)
    if not problems:
        print(f"{len(pages)} pages: every relative link reaches its file and heading")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
