"""Which of a package's custom actions each kind of Windows Installer run
schedules, from the package's own tables (msiinfo export), against the table
of what each run must schedule: the deferred actions that run, and the
rollback actions that a failure of the run would execute.

The component states are the ones Windows Installer documents for each run:
$Component is what the run does with the component (3 install locally,
2 remove, -1 nothing), ?Component what was installed before it (3 locally,
2 absent; -1 unknown). A run whose state the documentation leaves open is
evaluated with each value it may take, and must give the same actions.

The evaluator reads only what our conditions need: $ and ? states compared
with = or <> to an integer, AND, OR, NOT and parentheses. Anything else is
refused (exit 2), never guessed.

Usage: msi_conditions.py PACKAGE
"""

import re
import subprocess
import sys

REGISTER = {"Kelmo7Register", "SampleRegister"}
UNREGISTER = {"Kelmo7Unregister", "SampleUnregister"}
# A failed first install removes the files: the registration goes with them.
TAKE_BACK = {"Kelmo7RegisterRollback", "SampleRegisterRollback"}
# A failed run over an installed server restores the old files: they register again.
REREGISTER = {"Kelmo7ReregisterRollback", "SampleReregisterRollback"}
# A failed removal restores the files: they register again.
UNDO_REMOVAL = {"Kelmo7UnregisterRollback", "SampleUnregisterRollback"}

# kind of run, installed states, action states, deferred actions, rollback actions
RUNS = [
    ("first install", (2, -1), (3,), REGISTER, TAKE_BACK),
    ("repair or reinstall (REINSTALL=ALL)", (3,), (3,), REGISTER, REREGISTER),
    ("minor update (REINSTALL=ALL REINSTALLMODE=vomus)", (3,), (3,), REGISTER, REREGISTER),
    # The old product still holds the component: its removal comes after.
    ("major upgrade, new product, late removal", (3,), (3,), REGISTER, REREGISTER),
    # The states are costed before the early removal: the documentation does
    # not say whether the new product sees the old one's component installed.
    # Seen absent, its rollback is a first install's, and the old product's
    # own rollback of its removal, which runs after, registers its files again.
    ("major upgrade, new product, early removal, component seen installed", (3,), (3,), REGISTER, REREGISTER),
    ("major upgrade, new product, early removal, component seen absent", (2,), (3,), REGISTER, TAKE_BACK),
    ("uninstall", (3,), (2,), UNREGISTER, UNDO_REMOVAL),
    ("major upgrade, old product removed first", (3,), (2,), UNREGISTER, UNDO_REMOVAL),
    # A component that the new product holds too is not removed: no action.
    ("major upgrade, old product removed after, component shared", (3,), (-1,), set(), set()),
]


class Unreadable(Exception):
    pass


TOKEN = re.compile(r"\s*(?:([$?][A-Za-z_][A-Za-z0-9_.]*)|(-?[0-9]+)|(<>|=|\(|\))|([A-Za-z]+))")


def tokens(text):
    out, at = [], 0
    while text[at:].strip():
        match = TOKEN.match(text, at)
        if not match:
            raise Unreadable(f"cannot read {text[at:]!r}")
        state, number, sign, word = match.groups()
        if word is not None and word not in ("AND", "OR", "NOT"):
            raise Unreadable(f"cannot read {word!r}")
        out.append(state or (int(number) if number is not None else sign or word))
        at = match.end()
    return out


def evaluate(text, components, installed, action):
    """The condition's truth for a run whose components all have the two states."""
    if not text.strip():
        return True
    words = tokens(text)

    def take(expected=None):
        if not words:
            raise Unreadable(f"{text!r} ends too early")
        word = words.pop(0)
        if expected is not None and word != expected:
            raise Unreadable(f"{text!r}: {expected} expected, not {word!r}")
        return word

    def disjunction():
        value = conjunction()
        while words and words[0] == "OR":
            take()
            value = conjunction() or value
        return value

    def conjunction():
        value = negation()
        while words and words[0] == "AND":
            take()
            value = negation() and value
        return value

    def negation():
        if words and words[0] == "NOT":
            take()
            return not negation()
        if words and words[0] == "(":
            take()
            value = disjunction()
            take(")")
            return value
        return comparison()

    def comparison():
        state = take()
        if not isinstance(state, str) or state[0] not in "$?":
            raise Unreadable(f"{text!r}: a component state expected, not {state!r}")
        if state[1:] not in components:
            raise Unreadable(f"{text!r}: no component {state[1:]}")
        sign = take()
        number = take()
        if sign not in ("=", "<>") or not isinstance(number, int):
            raise Unreadable(f"{text!r}: a state compared with = or <> to a number expected")
        value = action if state[0] == "$" else installed
        return (value == number) == (sign == "=")

    value = disjunction()
    if words:
        raise Unreadable(f"{text!r}: {words[0]!r} left over")
    return value


def table(package, name):
    text = subprocess.run(["msiinfo", "export", package, name], check=True, capture_output=True, text=True).stdout
    # Three header lines: column names, types, the table's name and keys.
    return [line.split("\t") for line in text.splitlines()[3:]]


def main(package):
    actions = {row[0]: int(row[1]) for row in table(package, "CustomAction")}
    components = {row[0] for row in table(package, "Component")}
    # An error action (type 19) ends a run on a property, such as a newer
    # version found; it registers nothing, so it is not evaluated here.
    conditions = {row[0]: row[1] for row in table(package, "InstallExecuteSequence")
                  if row[0] in actions and actions[row[0]] & 0x3F != 19}
    # A rollback action carries 0x100; every other one of ours is deferred.
    rollback = {name for name in conditions if actions[name] & 0x100}
    failed = 0
    for kind, installed_states, action_states, deferred, rollbacks in RUNS:
        seen = set()
        for installed in installed_states:
            for action in action_states:
                scheduled = frozenset(n for n, c in conditions.items() if evaluate(c, components, installed, action))
                seen.add(scheduled)
        if len(seen) != 1:
            failed += 1
            print(f"FAILED: {kind}: the actions depend on a state the run may take: {sorted(map(sorted, seen))}")
            continue
        scheduled = seen.pop()
        print(f"{kind}: runs {sorted(scheduled - rollback)}, on rollback {sorted(scheduled & rollback)}")
        if (scheduled - rollback, scheduled & rollback) != (deferred, rollbacks):
            failed += 1
            print(f"FAILED: {kind}: expected {sorted(deferred)}, on rollback {sorted(rollbacks)}")
    print(f"msi_conditions: {len(RUNS) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1]))
    except Unreadable as error:
        print(f"msi_conditions: refused: {error}")
        sys.exit(2)
