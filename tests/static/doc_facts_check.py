#!/usr/bin/python3
"""doc_facts_check.py ROOT: the numbers and switch names that the docs state
are the ones in the code. Each fact is read from its source file and must
appear, in its one sentence, on the page that states it; line breaks and
runs of blanks in the page count as one blank. A fact that cannot be read
from the code fails too, so the check never passes without comparing.
Exits 1 naming every fact whose sentence is missing."""

import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else "."


def read(path):
    with open(f"{ROOT}/{path}", encoding="utf-8") as file:
        return file.read()


def code(path, pattern):
    """The groups of PATTERN's one match in the source file PATH."""
    found = re.findall(pattern, read(path), re.S)
    if len(found) != 1:
        raise LookupError(f"{path}: {len(found)} matches of {pattern!r}, one expected")
    return found[0]


def page(path):
    return " ".join(read(path).split())


def seconds(ms):
    return f"{int(ms) / 1000:g}"


def facts():
    """(what, page, the sentence it must hold)."""
    idle = code("server/shutdown_monitor.cpp", r"constexpr DWORD kIdleWindowMs = (\d+);")
    pause = code("server/server_main.cpp", r"constexpr DWORD kPauseBeforeTeardownMs = (\d+);")
    deadline = code("server/shutdown_monitor.cpp", r"#define KELMO_FIRST_LOCK_DEADLINE_MS \((\d+) \* 60 \* 1000\)")
    yield "idle window", "docs/clients.md", f"waits out an idle window of {idle} ms"
    yield "pause", "docs/clients.md", f"pauses {pause} ms"
    yield "idle window and pause", "docs/clients.md", f"gone about {seconds(int(idle) + int(pause))} s after"
    yield "first-lock deadline", "docs/clients.md", f"its first-lock deadline, {deadline} minutes after it started serving"
    switches = re.findall(r'lstrcmpiA\(p, "(\w+)"\)', code("server/server_main.cpp", r"ServerAction ScanSwitches\(.*?\n}"))
    if not switches:
        raise LookupError("server/server_main.cpp: no switch in ScanSwitches")
    names = ", ".join(f"`{name}`" for name in switches[:-1]) + f" and `{switches[-1]}`"
    yield "switches in the order compared", "docs/deploying.md", f"compared with {names}, in that order"
    for name in switches:
        yield f"switch {name}", "README.md", f"| `Kelmo7.exe /{name}` |"
    slot = code("tollan/name_table.h", r"constexpr int kNameSlotSize = (\d+);")
    refusal = code("tollan/tollan.cpp", r"std::exit\((-?\d+)\)")
    for where in ("README.md", "docs/troubleshooting.md", "dist/README.txt"):
        yield "tollan's refusal", where, f"a name longer than {int(slot) - 1} bytes"
    yield "tollan's exit code", "README.md", f"| {refusal} (0xFFFFFFFF) |"
    usage, held, failed = code("check/check_main.cpp", r"fprintf\(stderr, kUsage, check::ClientBits\(\)\);\s*return (\d+);.*?"
                               r"ExitProcess\(failed == 0 \? (\d+) : (\d+)\)")
    yield "kelmo7-check's exit codes", "docs/troubleshooting.md", (
        f"the exit code is {held} when every check held, {failed} when one failed, and {usage} for an argument it does not know")


def main():
    missing = count = 0
    try:
        for what, where, sentence in facts():
            count += 1
            if " ".join(sentence.split()) not in page(where):
                missing += 1
                print(f"doc_facts_check: {where} does not say the code's {what}: \"{sentence}\"")
        # A switch the README's table names is one the program knows.
        known = set(re.findall(r'lstrcmpiA\(p, "(\w+)"\)', read("server/server_main.cpp")))
        for name in re.findall(r"^\| `Kelmo7\.exe /(\w+)", read("README.md"), re.M):
            count += 1
            if name not in known:
                missing += 1
                print(f"doc_facts_check: README.md's table names /{name}, which the program does not know")
    except (LookupError, OSError) as error:
        print(f"doc_facts_check: cannot read a fact: {error}")
        return 1
    print(f"doc_facts_check: {count} facts checked, {missing} missing")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
