#!/usr/bin/python3
"""The message table of docs/c-api.md against the library's sources, and the
manual pages' ERRORS lists against the table.

Every string literal in the library's own files (src/, not its platform
files, which report outcomes and never texts) is a message, except format
strings and the few fixed wire values named below: so a changed, added or
removed text fails until the documents say it.

    tests/check_messages.py SOURCE_DIR
"""
import pathlib
import re
import sys

NOT_MESSAGES = {"PICB"}  # the reply's reference identifier
TOKENS = re.compile(r'"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])+\'|//[^\n]*|/\*.*?\*/', re.S)


def source_messages(source):
    found = {}
    for path in sorted((source / "src").glob("*.[ch]*")):
        text = "\n".join(line for line in path.read_text().splitlines()
                         if not line.lstrip().startswith("#"))
        for match in TOKENS.finditer(text):
            token = match.group(0)
            if not token.startswith('"'):
                continue
            literal = token[1:-1]
            if "%" in literal or literal in NOT_MESSAGES or text[:match.start()].endswith("extern "):
                continue
            found.setdefault(literal, f"{path.relative_to(source)}")
    return found


def table_messages(c_api):
    """{message: set of functions} from the table under '## Messages'."""
    section = c_api.split("\n## Messages\n", 1)[1].split("\n## ", 1)[0]
    rows = [line for line in section.splitlines() if line.startswith("|")]
    header = [cell.strip().strip("`") for cell in rows[0].strip("|").split("|")]
    table = {}
    for row in rows[2:]:
        cells = [cell.strip() for cell in row.strip("|").split("|")]
        message = cells[0].strip("`")
        table[message] = {header[i] for i in range(1, len(header) - 1) if cells[i] == "yes"}
    return table


def page_messages(page):
    """(functions named, messages under ERRORS) of one manual page."""
    text = page.read_text()
    name_line = text.split(".SH NAME\n", 1)[1].split("\n", 1)[0]
    functions = {name.strip() for name in name_line.split("\\-")[0].split(",")}
    errors = text.split(".SH ERRORS\n", 1)[1].split("\n.SH ", 1)[0] if ".SH ERRORS\n" in text else ""
    return functions, set(re.findall(r'^\.B "(.*)"$', errors, re.M))


def main():
    source = pathlib.Path(sys.argv[1])
    problems = []
    in_sources = source_messages(source)
    table = table_messages((source / "docs" / "c-api.md").read_text())
    for message, where in in_sources.items():
        if message not in table:
            problems.append(f'{where} writes "{message}", which docs/c-api.md\'s message table lacks')
    for message in table:
        if message not in in_sources:
            problems.append(f'docs/c-api.md lists "{message}", which no file in src/ writes')
    for page in sorted((source / "man").glob("*.3.in")):
        functions, listed = page_messages(page)
        expected = {message for message, by in table.items() if by & functions}
        for message in expected - listed:
            problems.append(f'{page.relative_to(source)} lacks "{message}" under ERRORS')
        for message in listed - expected:
            problems.append(f'{page.relative_to(source)} lists "{message}", not in the table for {sorted(functions)}')
    for problem in problems:
        print("FAILED:", problem)
    if not problems:
        print(f"{len(table)} messages: the sources, docs/c-api.md and the manual pages agree")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
