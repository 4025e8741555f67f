#!/usr/bin/env python3
"""Checks the relative links of every tracked Markdown file.

Every link [text](target) and image ![alt](target) whose target is not a
web or mail address must name a file that exists, and an anchor (#x, in
the same file or in other.md#x) must match a heading of that file, as
GitHub makes anchors from headings. Links in fenced code blocks and in
inline code are not links. Prints one line per broken link (file:line:
target) and a summary; exits with status 1 if any link is broken.
"""

import os
import re
import subprocess
import sys
from urllib.parse import unquote

FENCE = re.compile(r"^\s*(```|~~~)")
HEADING = re.compile(r"^ {0,3}#{1,6}[ \t]+(.*?)[ \t#]*$")
# A code span: a run of backticks, then anything up to the same run, not
# across a blank line.
CODE_SPAN = re.compile(r"(`+)(?:(?!\n\s*\n).)*?(?<!`)\1(?!`)", re.DOTALL)
LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^()\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
EXTERNAL = re.compile(r"^(https?:|mailto:)", re.IGNORECASE)


def unfenced(text):
    """The text with the lines of fenced code blocks blanked out."""
    lines = text.split("\n")
    fence = None
    for number, line in enumerate(lines):
        match = FENCE.match(line)
        if fence is None and match:
            fence = match.group(1)
        elif fence is not None and line.strip().startswith(fence):
            fence = None
        elif fence is None:
            continue
        lines[number] = ""
    return "\n".join(lines)


def prose(text):
    """The text without code blocks and code spans (line breaks kept, so
    that offsets still give line numbers)."""
    return CODE_SPAN.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), unfenced(text))


def slug(heading):
    """GitHub's anchor for a heading: lower case, markup and punctuation
    other than '-' and '_' removed, spaces to '-'."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # links: their text
    text = text.replace("`", "").lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


ANCHORS = {}  # file name: the anchors of its headings


def anchors(path):
    if path not in ANCHORS:
        with open(path, encoding="utf-8") as f:
            text = unfenced(f.read())
        seen = {}
        found = set()
        for line in text.split("\n"):
            match = HEADING.match(line)
            if not match:
                continue
            base = slug(match.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
        ANCHORS[path] = found
    return ANCHORS[path]


def broken_links(path):
    with open(path, encoding="utf-8") as f:
        text = prose(f.read())
    for match in LINK.finditer(text):
        target = match.group(1)
        if not target or EXTERNAL.match(target):
            continue
        line = text.count("\n", 0, match.start()) + 1
        name, _, anchor = unquote(target).partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
        if not os.path.exists(linked):
            yield line, target
        elif anchor and linked.endswith(".md") and anchor not in anchors(linked):
            yield line, target


def main():
    os.chdir(subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True,
                            capture_output=True, text=True).stdout.strip())
    files = subprocess.run(["git", "ls-files", "-z", "*.md"], check=True,
                           capture_output=True, text=True).stdout.split("\0")[:-1]
    broken = 0
    for path in files:
        for line, target in broken_links(path):
            print(f"{path}:{line}: {target}")
            broken += 1
    print(f"check-links: {len(files)} Markdown files, {broken} broken links")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
