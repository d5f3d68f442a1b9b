"""Finds calls in the module's C++ whose arguments have effects that Python would order.

C++ leaves the order in which a call's arguments are evaluated unspecified (GCC and MSVC
differ), while a Python reader of the module expects `f(g(), NAME)` to call g before it looks
NAME up. So no call may have two arguments that each look a name up or call into Python: such
arguments are evaluated in statements of their own, in Python's order. And a message (say, fail,
refuse) takes its pieces unmade: it looks RU up first and makes only the chosen language's
pieces, as `if RU: print("..." + NAME)` does, so a piece made before the call is a finding too.

Which expressions have effects is found with clang's own parser (libclang's Python bindings),
over the compile commands of a CMake build: a name looked up through a Scope, a call of the C
API that can run Python code (any PyObject_, PyNumber_, PySequence_, PyMapping_, PyIter_,
PyImport_, PyEval_ or PyVectorcall_ function), and a call of any function of the module whose
body has such an effect, however deep (templates, constructors and operators included). What a
lambda's body does happens later, when the callee runs it, and does not count; nor do the
elements of a braced list, which C++ evaluates left to right.

    python3 tools/unsequenced.py BUILD_DIR            prints each finding; exit status 1 if any
    python3 tools/unsequenced.py BUILD_DIR --mutants  also proves the check on ten mutants of
                                                      the sources, each of which must be found

BUILD_DIR holds compile_commands.json (CMAKE_EXPORT_COMPILE_COMMANDS=ON).
"""

import json
import os
import shlex
import sys
from concurrent.futures import ProcessPoolExecutor

import clang.cindex as ci

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = os.path.join(ROOT, "updater_core") + os.sep

# The C API's families that can run Python code: a __getattr__, an __eq__, a __str__, an import
# hook, the callee of a call.
RUNS_PYTHON = ("PyObject_", "PyNumber_", "PySequence_", "PyMapping_", "PyIter_", "PyImport_",
               "PyEval_", "PyVectorcall_", "_PyObject_", "PyErr_CheckSignals")
# Name lookups: (class, method).
LOOKUPS = {("Scope", "operator[]"), ("Scope", "import")}
# The message sites, which make their pieces themselves after looking RU up.
MESSAGES = {"say", "fail", "refuse", "refuse_download"}
# Operators whose operands C++17 sequences.
SEQUENCED = {"operator=", "operator<<", "operator>>", "operator&&", "operator||", "operator,"}
FUNCTIONS = {ci.CursorKind.FUNCTION_DECL, ci.CursorKind.CXX_METHOD, ci.CursorKind.CONSTRUCTOR,
             ci.CursorKind.DESTRUCTOR, ci.CursorKind.FUNCTION_TEMPLATE,
             ci.CursorKind.CONVERSION_FUNCTION}


def ours(cursor):
    location = cursor.location.file
    return location is not None and location.name.startswith(SOURCES)


def callee_name(call):
    """A call's name; a call that a template leaves open is named by its callee expression."""
    if call.spelling:
        return call.spelling
    for child in call.get_children():
        return child.spelling
    return ""


def callee_key(call):
    """What a call calls: its definition's USR, or its name when a template leaves it open."""
    target = call.referenced
    if target is None or not target.get_usr():
        return ("name", callee_name(call))
    return ("usr", target.get_usr())


def calls_ours(call):
    """Whether the call may be of a function of the module (one a template leaves open may)."""
    target = call.referenced
    return target is None or not target.get_usr() or ours(target)


def direct_effect(call):
    target = call.referenced
    if target is not None and target.semantic_parent is not None:
        if (target.semantic_parent.spelling, target.spelling) in LOOKUPS:
            return True
    return callee_name(call).startswith(RUNS_PYTHON)


def calls_in(cursor, lambdas_run=False):
    """The calls under cursor (itself included). A lambda's calls happen when it is run: they
    are left out, unless `lambdas_run`, and then only for a lambda handed to a call of the
    module's own (try_except, cleanup_on_error and the like run theirs), not one kept for later
    (a std::function made of it)."""
    def walk(node, lambda_runs):
        if node.kind == ci.CursorKind.LAMBDA_EXPR and not lambda_runs:
            return
        if node.kind == ci.CursorKind.CALL_EXPR:
            yield node
            lambda_runs = lambdas_run and calls_ours(node)
        for child in node.get_children():
            yield from walk(child, lambda_runs)

    yield from walk(cursor, False)


def every_call(cursor):
    for child in cursor.get_children():
        if child.kind == ci.CursorKind.CALL_EXPR:
            yield child
        yield from every_call(child)


def survey(job):
    """One translation unit: each function of the module with what it calls and whether it has
    an effect itself; each call with the callee keys of each argument's calls."""
    source, arguments, unsaved = job
    unit = ci.Index.create().parse(source, args=arguments, unsaved_files=unsaved or [])
    problems = [d.spelling for d in unit.diagnostics if d.severity >= ci.Diagnostic.Error]
    functions, calls = {}, []

    def visit(cursor):
        for child in cursor.get_children():
            if not ours(child):
                continue
            if child.kind in FUNCTIONS and child.is_definition():
                # A lambda handed to a function of the module runs as part of the call.
                inner = list(calls_in(child, lambdas_run=True))
                key = ("usr", child.get_usr())
                functions[key] = (child.spelling,
                                  any(direct_effect(c) for c in inner),
                                  {callee_key(c) for c in inner})
                for call in every_call(child):
                    record(call)
            if child.kind in (ci.CursorKind.NAMESPACE, ci.CursorKind.CLASS_DECL,
                              ci.CursorKind.STRUCT_DECL, ci.CursorKind.CLASS_TEMPLATE,
                              ci.CursorKind.UNEXPOSED_DECL):
                visit(child)

    def record(call):
        arguments = list(call.get_arguments())
        if callee_name(call) in SEQUENCED or len(arguments) < 2 and callee_name(call) not in MESSAGES:
            return
        where = (call.location.file.name, call.location.line, call.location.column)
        pieces = []
        for argument in arguments:
            spot = argument.location if argument.location.file is not None else call.location
            at = (spot.file.name, spot.line, spot.column)
            pieces.append((at, [(callee_key(c), direct_effect(c)) for c in calls_in(argument)]))
        calls.append((where, callee_name(call), pieces))

    visit(unit.cursor)
    included = {i.include.name for i in unit.get_includes() if i.include.name.startswith(SOURCES)}
    return problems, functions, calls, included | {source}, source


def effectful(functions):
    """The keys of every function with an effect, its own or through what it calls; a name
    stands for every function of that name."""
    found = {key for key, (_, direct, _) in functions.items() if direct}
    names = {}
    for key, (name, _, _) in functions.items():
        names.setdefault(name, set()).add(key)
    changed = True
    while changed:
        changed = False
        for key, (name, _, callees) in functions.items():
            if key in found:
                continue
            for callee in callees:
                if callee in found or (callee[0] == "name" and names.get(callee[1], set()) & found):
                    found.add(key)
                    changed = True
                    break
    return found | {("name", name) for name, keys in names.items() if keys & found}


def jobs(build):
    """What to parse: each source of the module with its compile command's options, for clang."""
    commands = json.load(open(os.path.join(build, "compile_commands.json")))
    result = []
    for entry in commands:
        if not entry["file"].startswith(SOURCES):
            continue
        argv = shlex.split(entry["command"])[1:]
        keep, skip = [], False
        for argument in argv:
            if skip:
                skip = False
            elif argument in ("-o", "-c"):
                skip = True
            elif argument != entry["file"]:
                keep.append(argument)
        # What GCC knows and clang does not; clang 14 and CPython 3.13's atomics (see lint.sh).
        keep += ["-Wno-unknown-warning-option", "-Wno-unused-command-line-argument", "-Wno-error",
                 "-D_Py_USE_GCC_BUILTIN_ATOMICS=1", "-working-directory", entry["directory"]]
        result.append((entry["file"], keep, None))
    return result


def place(where):
    return f"{os.path.relpath(where[0], ROOT)}:{where[1]}:{where[2]}"


def findings(surveys):
    problems = [p for s in surveys for p in s[0]]
    functions = {}
    for _, found, _, _, _ in surveys:
        functions.update(found)
    effects = effectful(functions)
    seen, result = set(), []
    for _, _, calls, _, _ in surveys:
        for where, name, pieces in calls:
            if where in seen:
                continue
            seen.add(where)
            with_effects = [at for at, piece in pieces
                            if any(direct or key in effects for key, direct in piece)]
            if name in MESSAGES and set(with_effects) - {pieces[0][0]}:
                at = [at for at in with_effects if at != pieces[0][0]][0]
                result.append(f"{place(at)}: {name}(...) is given a piece made before it looks RU up")
            elif len(with_effects) > 1:
                result.append(f"{place(where)}: {name}(...) has {len(with_effects)} arguments with effects")
    return problems, sorted(result)


# Ten mutants of the sources, each a way to write the fault this check exists for: (file, the
# text as it stands, the text with the fault). Each must be found.
MUTANTS = [
    ("two name lookups", "updater_core/update/installation.cpp",
     "py::Ref rename = py::attr(scope[n.os], n.rename);",
     "py::Ref rename = py::attr(scope[n.os], scope[n.rename]);"),
    ("is_file(scope, ...)", "updater_core/update/update_check.cpp",
     "if (!is_file(scope, exe_path)) {",
     "if (!py::equal(py::integer(is_file(scope, exe_path)), py::integer(is_file(scope, n.os)))) {"),
    ("path_test", "updater_core/update/installation.cpp",
     "if (path_test(scope, n.isdir, exe_path)) {",
     "if (py::equal(py::integer(path_test(scope, n.isdir, exe_path)), scope[n.isdir])) {"),
    ("raw PyObject_ calls", "updater_core/update/download.cpp",
     "PyObject_RichCompareBool(total.get(), limit.get(), Py_GT);",
     "PyObject_RichCompareBool(PyObject_Str(total.get()), PyObject_Repr(limit.get()), Py_GT);"),
    ("inside a template", "updater_core/update/replacement.cpp",
     "replace_file(scope, exe, old_copy);",
     "replace_file(scope, free_set_aside_name(scope, exe), working_directory(scope));"),
    ("a message piece made before the message", "updater_core/update/bot_folder.cpp",
     '{"The lock ", what, " is taken',
     '{"The lock ", py::text(what), " is taken'),
    ("a member initialiser", "updater_core/update/bot_folder.cpp",
     "lock_(bot_directory(scope), n.lock_name,",
     "lock_(bot_directory(scope), py::text(n.exe_name),"),
    ("a method", "updater_core/update/start_bot.cpp",
     "scope.import(n.subprocess, nullptr);",
     "scope.import(py::text(n.subprocess), py::attr(scope[n.os], n.path));"),
    ("effects nested deep", "updater_core/update/download.cpp",
     "py::call(py::attr(scope[n.progressbar], n.Percentage));",
     "py::call(py::attr(scope[n.progressbar], n.Percentage), py::Ref(py::Ref(py::text(n.ETA))));"),
    ("a function of another file", "updater_core/update/installation.cpp",
     "py::call(scope[n.s3_file_reader], n.hash_object_key);",
     "py::call(scope[n.s3_file_reader], platform::create_exclusive(scope, n.hash_object_key));"),
]


def prove_on_mutants(build, pool, surveys):
    """Finds each mutant, re-reading only the translation units that include its file."""
    missed = 0
    work = {job[0]: job for job in jobs(build)}
    for name, relative, before, after in MUTANTS:
        path = os.path.join(ROOT, relative)
        text = open(path, encoding="utf-8").read()
        assert text.count(before) == 1, f"mutant {name!r}: {before!r} is not once in {relative}"
        mutated = text.replace(before, after)
        line = text[:text.index(before)].count("\n") + 1
        touched = [i for i, s in enumerate(surveys) if path in s[3]]
        again = pool.map(survey, [(*work[surveys[i][4]][:2], [(path, mutated)]) for i in touched])
        changed = list(surveys)
        for i, result in zip(touched, again):
            changed[i] = result
        problems, found = findings(changed)
        hit = [f for f in found if f.startswith(f"{relative}:{line}:")]
        print(f"mutant {name}: " + ("; ".join(problems[:3]) if problems else hit[0] if hit else "MISSED"))
        missed += bool(problems or not hit)
    return missed


def main(argv):
    if not argv or argv[0] in ("-h", "--help"):
        print(__doc__)
        return 0 if argv else 2
    build, prove = argv[0], "--mutants" in argv[1:]
    with ProcessPoolExecutor(os.cpu_count()) as pool:
        surveys = list(pool.map(survey, jobs(build)))
        problems, found = findings(surveys)
        if problems:
            print("\n".join(["unsequenced: clang could not parse the sources:", *problems[:20]]))
            return 2
        print("\n".join(found) or "unsequenced: no findings")
        if found:
            return 1
        if prove and prove_on_mutants(build, pool, surveys):
            print("unsequenced: a mutant above was not found: the check cannot be trusted")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
