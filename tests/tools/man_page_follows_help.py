#!/usr/bin/env python3
"""Keeps the postwren-check manual page in step with `postwren-check --help`.

The two say the same things in two places: the options (in the usage lines
and in the option list), the exit statuses with the kind --json reports for
each and their meanings, and the fields of --json. Any difference is printed
and fails the test.

    man_page_follows_help.py <postwren-check> <postwren-check.1.scd>
"""
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])--?[a-z][a-z-]*")


def section(lines, starts, ends):
    """The lines after the first for which starts() holds, up to the next for which ends() holds."""
    out, inside = [], False
    for line in lines:
        if inside and ends(line):
            break
        if inside:
            out.append(line)
        elif starts(line):
            inside = True
    return out


def json_fields(text):
    """The field names shown for --json: "count", "error", "kind", ..."""
    return sorted(set(re.findall(r'"([a-z]+)":', text)))


def words(text):
    return " ".join(text.split())


def from_help(text):
    lines = text.splitlines()
    usage = [l for l in lines if l.startswith(("usage:", "       postwren-check"))]
    options = section(lines, lambda l: l == "Options:", lambda l: not l.strip())
    listed = set()
    for line in options:
        first_column = re.match(r"  (-\S.*?)(?:\s{2,}|$)", line)
        if first_column:
            listed.update(OPTION.findall(first_column.group(1)))
    statuses = {}
    last = None
    for line in section(lines, lambda l: l.startswith("Exit status"), lambda l: not l.strip()):
        entry = re.match(r"\s+(\d+)\s+(.*)", line)
        if entry:
            last = entry.group(1)
            statuses[last] = entry.group(2)
        elif last is not None:
            statuses[last] += " " + line.strip()
    # Each failure's status comes with its kind: "1  refused   the server said no ...".
    table = {}
    for status, text in statuses.items():
        kind, _, meaning = text.partition(" ") if status != "0" else ("", "", text)
        table[status] = (kind, words(meaning))
    json_option = section(lines, lambda l: l.startswith("  --json"), lambda l: not l.startswith("      "))
    return {
        "usage options": set(OPTION.findall(" ".join(usage))),
        "listed options": listed,
        "exit statuses": table,
        "JSON fields": json_fields(" ".join([l for l in lines if l.startswith("  --json")] + json_option)),
    }


def from_page(text):
    lines = text.splitlines()
    heading = lambda name: (lambda l: l == "# " + name)
    next_heading = lambda l: l.startswith("# ")
    synopsis = section(lines, heading("SYNOPSIS"), next_heading)
    options = section(lines, heading("OPTIONS"), next_heading)
    listed = set()
    for line in options:
        if line.startswith("*-"):
            listed.update(re.findall(r"\*(--?[a-z][a-z-]*)\*", line))
    rows = {}
    last = None
    for line in section(lines, heading("EXIT STATUS"), next_heading):
        row = re.match(r"\|\s+(\d+)\s*$", line)
        cell = re.match(r":\s+(.*)", line)
        if row:
            last = row.group(1)
            rows[last] = []
        elif cell and last is not None:
            rows[last].append(cell.group(1).strip())
    # Status, kind ("-" where there is none), meaning.
    table = {k: ("" if v[0] == "-" else v[0], words(v[1])) if len(v) == 2 else tuple(v) for k, v in rows.items()}
    json_option = section(lines, lambda l: l == "*--json*", lambda l: not l.startswith("\t"))
    return {
        "usage options": set(OPTION.findall(" ".join(synopsis).replace("*", ""))),
        "listed options": listed,
        "exit statuses": table,
        "JSON fields": json_fields(" ".join(json_option)),
    }


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    program, page = sys.argv[1], sys.argv[2]
    help_text = subprocess.run([program, "--help"], check=True, capture_output=True, text=True).stdout
    with open(page, encoding="utf-8") as f:
        page_text = f.read()
    help_says, page_says = from_help(help_text), from_page(page_text)
    differ = False
    for what in help_says:
        if not help_says[what]:
            print(f"--help: found no {what}: has its layout changed?")
            differ = True
        elif help_says[what] != page_says[what]:
            print(f"{what} differ:")
            said, paged = help_says[what], page_says[what]
            if isinstance(said, dict):
                for key in sorted(said.keys() | paged.keys()):
                    if said.get(key) != paged.get(key):
                        print(f"  {key}:\n    --help:      {said.get(key)}\n    manual page: {paged.get(key)}")
            else:
                print(f"  --help:      {said}\n  manual page: {paged}")
            differ = True
    if differ:
        sys.exit(1)
    counts = {what: len(found) for what, found in help_says.items()}
    print(f"the manual page follows --help: {counts}")


if __name__ == "__main__":
    main()
