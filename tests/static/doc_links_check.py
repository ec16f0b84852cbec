#!/usr/bin/python3
"""doc_links_check.py ROOT: every relative link and every #anchor in
README.md, CHANGELOG.md and docs/*.md under ROOT resolves. A link names a file
or folder that exists; an anchor names a heading of the page it points into,
spelled as GitHub spells a heading's anchor (lowercase, blanks to hyphens,
punctuation dropped, a repeated heading numbered -1, -2, ...), or an explicit
<a id="..."> of that page. Links to other sites are not followed. Text in code
blocks and code spans is not read. Exits 1 naming every link that does not
resolve."""

import glob
import os
import re
import sys

INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
EXPLICIT_ANCHOR = re.compile(r"<a\s+(?:id|name)=\"([^\"]+)\"")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")


def lines_outside_code(text):
    """(line number, line) of the lines outside fenced and indented code blocks."""
    fence = None
    previous_blank = True
    in_indented = False
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.lstrip()
        if fence is not None:
            if stripped.startswith(fence):
                fence = None
            continue
        if stripped.startswith("```") or stripped.startswith("~~~"):
            fence = stripped[:3]
            continue
        if line.startswith("    ") and (previous_blank or in_indented) and not stripped.startswith(("-", "*", "|")):
            in_indented = True
            continue
        in_indented = False
        previous_blank = stripped == ""
        yield number, line


def heading_text(markdown):
    """A heading's text as GitHub renders it: code spans, links and emphasis reduced to their text."""
    text = CODE_SPAN.sub(lambda match: match.group(2), markdown)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"<[^>]+>", "", text)
    return text


def slug(text):
    text = heading_text(text).strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors_of(path, cache={}):
    if path not in cache:
        anchors = set()
        seen = {}
        with open(path, encoding="utf-8") as page:
            text = page.read()
        for _, line in lines_outside_code(text):
            anchors.update(EXPLICIT_ANCHOR.findall(line))
            match = HEADING.match(line)
            if match:
                base = slug(match.group(2))
                count = seen.get(base, 0)
                seen[base] = count + 1
                anchors.add(base if count == 0 else "%s-%d" % (base, count))
        cache[path] = anchors
    return cache[path]


def links_of(text):
    for number, line in lines_outside_code(text):
        line = CODE_SPAN.sub("", line)
        match = REFERENCE_DEFINITION.match(line)
        if match:
            yield number, match.group(1)
            continue
        for match in INLINE_LINK.finditer(line):
            yield number, match.group(1)


def problem(page, target):
    """Why target, linked from page, does not resolve; None when it does."""
    if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
        return None  # another site, or mail
    path, _, anchor = target.partition("#")
    linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
    if not os.path.exists(linked):
        return "no such file or folder: %s" % os.path.relpath(linked)
    if anchor:
        if not linked.endswith(".md") or os.path.isdir(linked):
            return "an anchor into something that is not a page"
        if anchor not in anchors_of(linked):
            return "no heading or anchor '%s' in %s" % (anchor, os.path.relpath(linked))
    return None


def main():
    if len(sys.argv) != 2:
        print("usage: doc_links_check.py ROOT", file=sys.stderr)
        return 2
    os.chdir(sys.argv[1])
    pages = [page for page in ["README.md", "CHANGELOG.md"] + sorted(glob.glob("docs/*.md")) if os.path.exists(page)]
    if "README.md" not in pages or not any(page.startswith("docs/") for page in pages):
        print("doc_links_check: README.md or docs/ is missing under %s" % os.getcwd())
        return 1
    checked = 0
    broken = 0
    for page in pages:
        with open(page, encoding="utf-8") as source:
            text = source.read()
        for number, target in links_of(text):
            checked += 1
            why = problem(page, target)
            if why:
                broken += 1
                print("%s:%d: %s: %s" % (page, number, target, why))
    print("doc_links_check: %d links in %d pages, %d broken" % (checked, len(pages), broken))
    return 1 if broken or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
