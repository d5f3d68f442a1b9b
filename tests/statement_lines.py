"""The module's statement lines and function names, read from the one table in its sources.

`at(name)` is the traceback entry (function, line) that a failure of the statement or inside
the function of that name carries; `traceback_line(name)` the same as the traceback prints it.
"""

import re
from pathlib import Path

from fakes import MODULE

TABLE = Path(__file__).resolve().parent.parent / "updater_core" / "lines.hpp"


def _read():
    entries = {}
    for kind, arguments in re.findall(r"^\s*(STATEMENT|FUNCTION|NESTED)\(([^)]*)\)",
                                      TABLE.read_text(), re.MULTILINE):
        *outer, name, line = (a.strip() for a in arguments.split(","))
        function = f"init {MODULE}" if kind == "STATEMENT" else ".".join([MODULE, *outer, name])
        entries[name] = (function, int(line))
    return entries


ENTRIES = _read()


def at(name):
    return ENTRIES[name]


def traceback_line(name):
    function, line = at(name)
    return f'File "<{MODULE}>", line {line}, in {function}'
