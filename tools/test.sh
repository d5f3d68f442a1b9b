#!/usr/bin/env bash
# The whole test run from a fresh machine: a virtual environment with the test dependencies,
# the module's test builds (warnings are errors), and the suite.
#
#   tools/test.sh            the suite against the release builds
#   tools/test.sh --asan     the suite against AddressSanitizer/UndefinedBehaviorSanitizer builds
#   tools/test.sh --python 3.12   the suite on another CPython (3.11, 3.12 or 3.13)
#   tools/test.sh --progressbar2  the suite with progressbar2 in place of progressbar
#   tools/test.sh --in-process    only the module's tests in the test process (no servers, tools
#                            or children with the real libraries), in a virtual environment with
#                            only what they need: the quick check of another interpreter
#   tools/test.sh --module   only the module's tests, in the process and in children with the real
#                            libraries (no tools, no SeaweedFS), in a virtual environment with only
#                            what they need (moto's S3 alone): another interpreter's full check
#                            (on 3.13 both run in the suite's .venv, which holds what they need)
#   tools/test.sh --windows  the cross-built module in the Windows CPython under Wine (tests/windows)
#   tools/test.sh --coverage the builds count their branches (gcov, unoptimised); after the tests,
#                            gcovr gives the module's branch coverage and fails the run below the
#                            floor in tests/branch-coverage-floor (CI's sanitizer line uses it)
#   tools/test.sh -n 3        the tests in three processes (pytest-xdist; CI's whole suite does)
#   tools/test.sh --lf        only the tests that failed last time (any pytest option works)
#   tools/test.sh --help      this text, wherever it stands on the line
#   its options come first, in any order; the arguments after them go to pytest, and a test
#   file or folder among them narrows the run to it (by default: tests, or tests/windows with
#   --windows), e.g. tools/test.sh --python 3.12 -k digest, tools/test.sh tests/test_build.py
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
help_if_asked tools/test.sh "$@"

# Options in any order: they are read first and applied in one order below, since the
# progressbar2 folder is named after the interpreter's.
sanitize=OFF
coverage=OFF
progressbar2=0
windows=0
selection=()
while [ $# -gt 0 ]; do
    case "$1" in
        --asan) sanitize=ON; shift ;;
        --coverage) coverage=ON; shift ;;
        --python)
            case "${2:-}" in
                3.11|3.12|3.13) use_python_version "$2"; shift 2 ;;
                *) echo "error: --python takes 3.11, 3.12 or 3.13 (the interpreters the module" \
                        "supports), not '${2:-}'" >&2; exit 2 ;;
            esac ;;
        --progressbar2) progressbar2=1; shift ;;
        --windows) windows=1; shift ;;
        --in-process) selection=(-m "not tools and not seaweedfs and not real_libraries"); shift ;;
        --module) selection=(-m "not tools and not seaweedfs"); shift ;;
        *) break ;;
    esac
done
# On 3.13 the selections share .venv with the whole suite (whose requirements hold theirs), so
# that a selection run beside the suite never swaps the environment under it.
if [ ${#selection[@]} -gt 0 ] && [ "$PY_VERSION" != 3.13 ]; then
    # The tests in the process see the libraries only as fakes; they need pytest and PyNaCl. The
    # module's tests in children need its libraries and moto's S3 too.
    mkdir -p "$BUILD"
    REQUIREMENTS=$BUILD/selected-requirements.txt
    {
        grep -E '^(pytest|pytest-timeout|pytest-xdist|pynacl)==' tests/requirements.txt
        [[ "${selection[1]}" == *real_libraries ]] || module_requirements
    } >"$REQUIREMENTS"
fi

echo "== Setting up: CPython $PY_VERSION and a virtual environment ($VENV) with the test" \
     "dependencies (on a fresh machine this and the builds take a few minutes)" >&2
setup_venv
use_ccache
# pytest names each test as it starts and ends (-v), and tools/pytest_run.py adds a line every ten
# seconds while one runs on: a long test never leaves the run silent.
pytest=("$VENV/bin/python" -m pytest -v -p tools.pytest_run)
if [ $progressbar2 = 1 ]; then
    # Both distributions install the module `progressbar`: progressbar2 goes into a folder of
    # its own, first on the path of the tests and of every interpreter they start.
    lib=$BUILD/progressbar2
    [ -d "$lib/progressbar" ] || still_running "installing progressbar2 into $lib" \
        "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --target "$lib" \
        progressbar2==4.6.0
    export PYTHONPATH=$PWD/$lib
fi
# The tests publish releases signed with this key (or its spare); the Windows bundle and one
# native build require it.
key=$("$VENV/bin/python" tools/local_s3.py test-public-key)
spare=$("$VENV/bin/python" tools/local_s3.py test-spare-public-key)
export UPDATER_RELEASE_PUBLIC_KEY=$key UPDATER_SPARE_PUBLIC_KEY=$spare

if [ "$windows" = 1 ]; then
    # A test build: its wheel stays under build/, so that dist/ holds only the publisher's.
    echo "== Building the Windows module, wheel and bundle under build/win-amd64" >&2
    UPDATER_ENDPOINT_URL=$TEST_ENDPOINT tools/build-windows.sh --out build/win-amd64/dist \
        --bundle build/win-amd64/bundle >/dev/null
    apt_install wine wine wine64
    # Wine takes the Windows locale, and the encoding of file names, from the host's locale.
    if ! locale -a | grep -ix 'ru_RU.utf-\?8' >/dev/null; then
        apt_install locale-gen locales
        localedef -i ru_RU -c -f UTF-8 -A /usr/share/locale/locale.alias ru_RU.UTF-8
    fi
    export UPDATER_WINDOWS_BUNDLE=$PWD/build/win-amd64/bundle UPDATER_WIN64_BUILD=$PWD/build/win-amd64/cmake
    export UPDATER_WINDOWS_WHEEL=$(ls "$PWD"/build/win-amd64/dist/updater_core-*-cp313-cp313-win_amd64.whl)
    echo "== Running tests/windows under Wine" >&2
    # The launcher's tests in plain Python ran in the default suite already.
    exec "${pytest[@]}" -o testpaths=tests/windows -m windows "$@"
fi
# A fake clock for the children whose waits are measured in minutes.
apt_install faketime faketime
# The publisher's tests build real Windows programs (with a version resource) to publish; the
# module's own runs (--module, --in-process) need none.
[ ${#selection[@]} -gt 0 ] || apt_install x86_64-w64-mingw32-windres mingw-w64
echo "== Building the module under $BUILD/ (CMake, warnings are errors)" >&2
# The three builds (the platform's path rules, the Windows rules, and one that requires signed
# releases), or those named in UPDATER_TEST_BUILDS by a caller whose tests need fewer.
variant=
[ "$sanitize" = ON ] && variant=asan-
[ "$coverage" = ON ] && variant=${variant}coverage-
export COVERAGE=$coverage
for build in ${UPDATER_TEST_BUILDS:-native windows signed}; do
    case $build in
        native) build_module "$BUILD/${variant}native" auto "$sanitize" ;;
        windows) build_module "$BUILD/${variant}windows" windows "$sanitize" ;;
        signed) build_module "$BUILD/${variant}signed" auto "$sanitize" "$key" "$spare" ;;
        *) echo "error: UPDATER_TEST_BUILDS names native, windows or signed, not $build" >&2; exit 2 ;;
    esac
done
export UPDATER_NATIVE_BUILD=$PWD/$BUILD/${variant}native UPDATER_WINDOWS_BUILD=$PWD/$BUILD/${variant}windows
export UPDATER_SIGNED_BUILD=$PWD/$BUILD/${variant}signed
if [ "$sanitize" = ON ]; then
    # The interpreter is not built with the sanitizers, so their runtime is loaded first, and
    # Python's own allocator is bypassed so that every object is checked. Leaks are not
    # reported: the interpreter keeps much alive at exit on purpose.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export PYTHONMALLOC=malloc
fi

# pytest.ini's testpaths (tests) when no file or folder is given.
echo "== Running the tests" >&2
if [ "$coverage" = OFF ]; then
    exec "${pytest[@]}" "${selection[@]}" "$@"
fi
# The counts start from nothing; the tests' share of the branches of the module's sources (a
# throw's hidden branches and those the compiler proved unreachable aside) must not fall below
# the floor, which is raised as the tests grow and never lowered.
find "$BUILD" -path "$BUILD/${variant}*" -name '*.gcda' -delete
status=0
"${pytest[@]}" "${selection[@]}" "$@" || status=$?
floor=$(cat tests/branch-coverage-floor)
echo "== Branch coverage of the module (gcovr; the floor is $floor %)" >&2
env -u LD_PRELOAD -u PYTHONMALLOC "$VENV/bin/python" -m gcovr --root . --filter 'updater_core/' --exclude-throw-branches \
    --exclude-unreachable-branches --txt-metric branch --txt-summary --fail-under-branch "$floor" \
    "$BUILD"/${variant}* || status=$?
exit $status
