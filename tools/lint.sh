#!/usr/bin/env bash
# Static checks of the module's sources: clang-tidy with .clang-tidy, on the compile commands
# of both path styles, and tools/unsequenced.py (no call's arguments have effects whose order a
# Python reader would see), which first proves on ten mutants of the sources that it finds what
# it looks for. (The compiler's own warnings are errors in every build of tools/test.sh.)
# A source that clang-tidy found clean is not looked at again while it, what it includes, its
# flags, .clang-tidy and clang-tidy stay the same (tools/lint_keys.py; the keys are kept in
# ~/.cache/updater_core/clang-tidy).
#
#   tools/lint.sh           the checks; no findings is exit status 0
#   tools/lint.sh --help    this text
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
help_if_asked tools/lint.sh "$@"
if [ $# -gt 0 ]; then
    echo "error: tools/lint.sh takes no arguments (see --help)" >&2
    exit 2
fi

apt_install clang-tidy clang-tidy
# tools/unsequenced.py reads the sources with clang's own parser: Debian's Python bindings of the
# libclang that comes with clang-tidy, for the system's Python.
if ! /usr/bin/python3 -c "import clang.cindex" 2>/dev/null; then
    apt_install python3-clang python3-clang-14 libclang1-14
fi

setup_venv
clean=$CACHE/clang-tidy
mkdir -p "$clean"
# Every source in the platform's path style; in the Windows style only the sources whose code
# the style changes (the rest differ in a constant's value alone).
for style in auto windows; do
    cmake -S . -B "$BUILD/lint-$style" -DPython_EXECUTABLE="$PWD/$VENV/bin/python" \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DUPDATER_WERROR=ON -DUPDATER_PATH_STYLE=$style \
        -DUPDATER_ENDPOINT_URL="$TEST_ENDPOINT" >/dev/null
    if [ $style = auto ]; then
        sources=(updater_core/*.cpp updater_core/*/*.cpp)
    else
        mapfile -t sources < <(grep -l UPDATER_PATH_STYLE_WINDOWS updater_core/*.cpp updater_core/*/*.cpp)
    fi
    # GCC's options that clang does not know are dropped from the compile commands.
    # clang 14 does not report the atomic builtins that CPython 3.13's headers probe for.
    arguments=(-p "$BUILD/lint-$style" --quiet --extra-arg=-Wno-unknown-warning-option
               --extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1)
    mapfile -t keyed < <(/usr/bin/python3 tools/lint_keys.py "$BUILD/lint-$style" "${sources[@]}" -- "${arguments[@]}")
    unchecked=()
    for line in "${keyed[@]}"; do
        [ -e "$clean/${line%% *}" ] || unchecked+=("${line#* }")
    done
    echo "clang-tidy ($style paths): $((${#sources[@]} - ${#unchecked[@]})) of ${#sources[@]} sources unchanged since found clean"
    if [ ${#unchecked[@]} -gt 0 ]; then
        clang-tidy "${arguments[@]}" "${unchecked[@]}"
        for line in "${keyed[@]}"; do touch "$clean/${line%% *}"; done
    fi
done
echo "clang-tidy: no findings"
# No check of clang-tidy's sees arguments whose order of evaluation a Python reader would see.
/usr/bin/python3 tools/unsequenced.py "$BUILD/lint-auto" --mutants
