"""The key of clang-tidy's verdict on each source, for tools/lint.sh's cache of clean results:

    python3 tools/lint_keys.py BUILD SOURCE... -- CLANG_TIDY_ARGUMENT...

prints one line per source, its key and its path. The key covers what the verdict depends on: the
source with everything it includes (the preprocessor's output, without line markers, so that a
clone in another folder gets the same key), the flags of its compile command in BUILD (the
clone's folder written as "." there and in the preprocessed source, where __FILE__ names it),
.clang-tidy, clang-tidy's version and its further arguments.
"""

from __future__ import annotations

import hashlib
import json
import os
import shlex
import subprocess
import sys
from pathlib import Path


def compile_arguments(entry):
    """The compile command's arguments, without its output and input."""
    arguments = entry.get("arguments") or shlex.split(entry["command"])
    kept, skip = [], False
    for argument in arguments[1:]:
        if skip:
            skip = False
        elif argument in ("-o", "-c"):
            skip = argument == "-o"
        elif os.path.realpath(os.path.join(entry["directory"], argument)) != os.path.realpath(entry["file"]):
            kept.append(argument)
    return arguments[0], kept


def main(build, sources, tidy_arguments):
    root = Path.cwd()
    entries = {os.path.realpath(e["file"]): e for e in json.loads((Path(build) / "compile_commands.json").read_text())}
    version = subprocess.run(["clang-tidy", "--version"], capture_output=True, text=True, check=True).stdout
    shared = hashlib.sha256()
    for part in (version, (root / ".clang-tidy").read_text(), "\0".join(tidy_arguments)):
        shared.update(part.encode() + b"\0")
    for source in sources:
        compiler, flags = compile_arguments(entries[os.path.realpath(source)])
        preprocessed = subprocess.run([compiler, *flags, "-E", "-P", os.path.realpath(source)],
                                      capture_output=True, check=True,
                                      cwd=entries[os.path.realpath(source)]["directory"]).stdout
        key = shared.copy()
        key.update("\0".join(flags).replace(str(root), ".").encode() + b"\0" + source.encode() + b"\0")
        key.update(preprocessed.replace(str(root).encode(), b"."))  # __FILE__ names the clone
        print(key.hexdigest(), source)


if __name__ == "__main__":
    separator = sys.argv.index("--")
    main(sys.argv[1], sys.argv[2:separator], sys.argv[separator + 1:])
