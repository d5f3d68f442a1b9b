#!/usr/bin/env bash
# The whole test run from a fresh machine: a virtual environment with the test dependencies,
# the module built in both path styles (warnings are errors), and the suite.
#
#   tools/test.sh            the suite against the release builds
#   tools/test.sh --asan     the suite against AddressSanitizer/UndefinedBehaviorSanitizer builds
#   extra arguments go to pytest, e.g. tools/test.sh -k digest
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

sanitize=OFF
if [ "${1:-}" = "--asan" ]; then
    sanitize=ON
    shift
fi

setup_venv
if [ "$sanitize" = ON ]; then
    build_module build/asan-native auto ON
    build_module build/asan-windows windows ON
    export UPDATER_NATIVE_BUILD=$PWD/build/asan-native UPDATER_WINDOWS_BUILD=$PWD/build/asan-windows
    # The interpreter is not built with the sanitizers, so their runtime is loaded first, and
    # Python's own allocator is bypassed so that every object is checked. Leaks are not
    # reported: the interpreter keeps much alive at exit on purpose.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export PYTHONMALLOC=malloc
else
    build_module build/native auto
    build_module build/windows windows
    export UPDATER_NATIVE_BUILD=$PWD/build/native UPDATER_WINDOWS_BUILD=$PWD/build/windows
fi

exec "$VENV/bin/python" -m pytest tests "$@"
