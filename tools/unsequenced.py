"""Finds calls in the module's C++ whose arguments have effects that Python would order.

C++ leaves the order in which a call's arguments are evaluated unspecified (GCC and MSVC
differ), while a Python reader of the module expects `f(g(), NAME)` to call g before it looks
NAME up. So no call may have two arguments that each look a name up or call into Python: such
arguments are evaluated in statements of their own, in Python's order. Lambdas (run later, by
the callee) and the pieces of a message (made by the message site, left to right) don't count.

    python tools/unsequenced.py FILE...    prints each finding; exit status 1 if there are any
"""

import re
import sys

# What makes an argument observable: a name looked up, or a call into the interpreter.
EFFECT = re.compile(r"\b(scope|module)\[|\b(working_directory|bot_directory|call|call_kw|call_method|attr|"
                    r"import|make_function|create_exclusive|staged_digest)\s*\(")


def arguments(text, open_paren):
    """The top-level arguments of the call whose "(" is at open_paren, and where it ends."""
    depth, start, found = 0, open_paren + 1, []
    for i in range(open_paren, len(text)):
        char = text[i]
        if char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
            if depth == 0:
                found.append(text[start:i])
                return found, i
        elif char == "," and depth == 1:
            found.append(text[start:i])
            start = i + 1
    return found, len(text)


def findings(path):
    source = open(path, encoding="utf-8").read()
    code = re.sub(r"//[^\n]*|\"(\\.|[^\"\\])*\"", lambda m: " " * len(m.group()), source)
    for match in re.finditer(r"\b(\w+)\s*\(", code):
        if match.group(1) in ("if", "for", "while", "switch", "say", "fail", "refuse", "sizeof"):
            continue
        args, _ = arguments(code, match.end() - 1)
        effectful = [a for a in args if EFFECT.search(a) and not a.lstrip().startswith("[")]
        if len(effectful) > 1:
            line = code.count("\n", 0, match.start()) + 1
            yield f"{path}:{line}: {match.group(1)}(...) has {len(effectful)} arguments with effects"


def main(paths):
    found = [finding for path in paths for finding in findings(path)]
    print("\n".join(found) or "unsequenced: no findings")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
