#!/usr/bin/env python3
"""Fails when the manual page's DIAGNOSTICS section lacks a line that the viewer can print.

The convention that keeps this simple: every line on standard error is written by one of the
message calls in MESSAGE_CALLS, and the fixed text of a message is written as string literals
inside that call (what varies, such as a file name or a number, is an expression between them).
For each call found in app/, capture/, render/ and trackball/, the literals' words, in order,
must appear in one entry of DIAGNOSTICS (an entry runs from one .TP, .IP or .PP to the next).
A write to the terminal by any other means fails the check too, so that none is overlooked.
The reasons that capture/ puts into a "cannot open" line (assignments to reason_, *failure or
*why) are checked the same way, each against the entries that list reasons.
It also fails when a relative link in README.md or docs/*.md leads to no file, or to a heading
that the page it names lacks.

Usage: diagnostics_check.py SOURCE_DIR
"""
import re
import sys
from pathlib import Path

MESSAGE_CALLS = ("sayOnce(", "reportDown(", "warnings.push_back(", "fprintf(stderr")
REASON_ASSIGNMENT = re.compile(r"(?:\breason_|\*failure|\*why)\s*=(?!=)")
REASON_LIST = re.compile(r"reason\b.*\b(is one of|as above)")
OTHER_WRITES = re.compile(r"std::cerr|std::clog|\bperror\(|\bf?puts\([^;]*stderr|\bputs\(")
PRINTF_SPEC = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?[hlzjt]*[diouxXeEfgGcsp%]")
ESCAPES = {"n": "\n", "t": "\t", '"': '"', "'": "'", "\\": "\\"}
LINK = re.compile(r"\]\(([^)\s]+)\)")


def lex(text):
    """The text with comments and literals blanked out, and the string literals by position."""
    code, literals, i = [], [], 0
    while i < len(text):
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = len(text) if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i) + 2
        elif text[i] in "\"'":
            quote, j, value = text[i], i + 1, ""
            while text[j] != quote:
                if text[j] == "\\":
                    value += ESCAPES.get(text[j + 1], text[j + 1])
                    j += 2
                else:
                    value += text[j]
                    j += 1
            end = j + 1
            if quote == '"':
                literals.append((i, end, value))
        else:
            code.append(text[i])
            i += 1
            continue
        code.append(" " * (end - i))
        i = end
    return "".join(code), literals


def words(fragment):
    """The fixed text of one literal, without the punctuation that joins it to the rest."""
    return fragment.strip(" \n\t;:,.'\"()")


def messages(path):
    """(line, [fixed fragments], is a reason) for every message call and reason in one file."""
    text = path.read_text()
    code, literals = lex(text)
    found = []
    for call in MESSAGE_CALLS:
        for match in re.finditer(re.escape(call), code):
            start = code.index("(", match.start())
            depth, end = 0, start
            for end in range(start, len(code)):
                depth += {"(": 1, ")": -1}.get(code[end], 0)
                if depth == 0:
                    break
            found.append((call, match, start, end))
    for match in REASON_ASSIGNMENT.finditer(code):
        found.append(("reason", match, match.end(), code.index(";", match.end())))
    for call, match, start, end in found:
        inside = [lit for lit in literals if start < lit[0] and lit[1] <= end]
        if not inside:
            continue  # the function's own definition
        # Adjacent literals ("a" "b") are one string in C++.
        joined, pieces, previous = "", [], None
        for s, e, value in inside:
            if previous is not None and code[previous:s].strip():
                pieces.append(joined)
                joined = ""
            joined += value
            previous = e
        pieces.append(joined)
        if call.startswith("fprintf"):
            pieces = [p for piece in pieces for p in PRINTF_SPEC.split(piece)]
        fragments = [words(p) for p in pieces]
        fragments = [f for f in fragments if sum(c.isalpha() for c in f) >= 2]
        line = text.count("\n", 0, match.start()) + 1
        if call == "reason":
            # Alternatives (a ? "x" : "y") each stand alone in the list of reasons.
            for fragment in fragments:
                yield line, [fragment], True
        else:
            yield line, fragments, False


def manual_entries(page):
    """DIAGNOSTICS as plain text, one string per entry."""
    section = page.split("\n.SH DIAGNOSTICS\n", 1)[1].split("\n.SH ", 1)[0]
    entries, current = [], []
    for line in section.splitlines():
        if re.match(r"\.(TP|IP|PP|LP|P)\b", line):
            entries.append(" ".join(current))
            current = []
            continue
        if line.startswith("."):
            line = line.split(" ", 1)[1] if " " in line else ""
        current.append(line)
    entries.append(" ".join(current))
    plain = []
    for entry in entries:
        entry = re.sub(r"\\f[BIRP]", "", entry)
        for roff, char in (("\\-", "-"), ("\\(aq", "'"), ("\\(lq", '"'), ("\\(rq", '"'),
                           ("\\(bu", ""), ("\\&", ""), ("\\e", "\\"), ("\\ ", " ")):
            entry = entry.replace(roff, char)
        plain.append(" ".join(entry.split()))
    return plain


def in_order(fragments, entry):
    at = 0
    for fragment in fragments:
        at = entry.find(fragment, at)
        if at < 0:
            return False
        at += len(fragment)
    return True


def anchor(heading):
    """The anchor that GitHub gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def broken_links(root):
    """Relative links of README.md and docs/*.md that lead nowhere."""
    broken = []
    for page in [root / "README.md", *sorted((root / "docs").glob("*.md"))]:
        for target in LINK.findall(page.read_text()):
            if re.match(r"[a-z]+:", target):
                continue  # http:, https:, mailto:
            path, _, fragment = target.partition("#")
            linked = page.parent / path if path else page
            if not linked.is_file():
                broken.append(f"{page.relative_to(root)}: {target}: no such file")
            elif fragment and linked.suffix == ".md":
                headings = re.findall(r"^#+ (.*)", linked.read_text(), re.M)
                if fragment not in map(anchor, headings):
                    broken.append(f"{page.relative_to(root)}: {target}: no such heading")
    return broken


def main():
    root = Path(sys.argv[1])
    entries = manual_entries((root / "packaging/lumivane.1.in").read_text())
    missing, others, count = [], [], 0
    for folder in ("app", "capture", "render", "trackball"):
        for path in sorted((root / folder).rglob("*.[ch]*")):
            name = path.relative_to(root)
            code, _ = lex(path.read_text())
            for number, line in enumerate(code.splitlines(), 1):
                if OTHER_WRITES.search(line):
                    others.append(f"{name}:{number}: writes to the terminal outside the message "
                                  f"calls {', '.join(MESSAGE_CALLS)}")
            for number, fragments, reason in messages(path):
                count += 1
                # A reason belongs in an entry that lists them, not just anywhere.
                candidates = [e for e in entries if REASON_LIST.search(e)] if reason else entries
                if not any(in_order(fragments, entry) for entry in candidates):
                    missing.append(f"{name}:{number}: \"{' … '.join(fragments)}\"")
    if missing:
        print("The manual page's DIAGNOSTICS (packaging/lumivane.1.in) lacks these lines; add "
              "each as an entry with this fixed text, in this order:")
        print("\n".join("  " + m for m in missing))
    if others:
        print("\n".join(others))
    print(f"{count} message calls and reasons checked, {len(missing)} missing from the manual page")
    links = broken_links(root)
    print("\n".join(["Broken links in the docs:", *links] if links else ["No broken links"]))
    return 1 if missing or others or links else 0


if __name__ == "__main__":
    sys.exit(main())
