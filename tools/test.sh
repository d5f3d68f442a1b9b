#!/usr/bin/env bash
# The whole test run from a fresh machine: a virtual environment with the test dependencies,
# the module built in both path styles (warnings are errors), and the suite.
#
#   tools/test.sh            the suite against the release builds
#   tools/test.sh --asan     the suite against AddressSanitizer/UndefinedBehaviorSanitizer builds
#   extra arguments go to pytest, e.g. tools/test.sh -k digest
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/python.sh
find_python

sanitize=OFF
if [ "${1:-}" = "--asan" ]; then
    sanitize=ON
    shift
fi

venv=.venv
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    rm -rf "$venv"
    "$PYTHON" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r tests/requirements.txt \
    2> >(grep -v "^WARNING: Location .* is ignored" >&2)

build() {  # build FOLDER PATH_STYLE
    cmake -S . -B "$1" -DPython_EXECUTABLE="$PWD/$venv/bin/python" -DCMAKE_BUILD_TYPE=Release \
        -DUPDATER_WERROR=ON -DUPDATER_SANITIZE="$sanitize" -DUPDATER_PATH_STYLE="$2" >/dev/null
    cmake --build "$1" --parallel 2
}

if [ "$sanitize" = ON ]; then
    build build/asan-native auto
    build build/asan-windows windows
    export UPDATER_NATIVE_BUILD=$PWD/build/asan-native UPDATER_WINDOWS_BUILD=$PWD/build/asan-windows
    # The interpreter is not built with the sanitizers, so their runtime is loaded first, and
    # Python's own allocator is bypassed so that every object is checked. Leaks are not
    # reported: the interpreter keeps much alive at exit on purpose.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export PYTHONMALLOC=malloc
else
    build build/native auto
    build build/windows windows
    export UPDATER_NATIVE_BUILD=$PWD/build/native UPDATER_WINDOWS_BUILD=$PWD/build/windows
fi

exec "$venv/bin/python" -m pytest tests "$@"
