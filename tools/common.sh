# Sourced by the scripts in tools/: finding CPython 3.13, the virtual environment, the builds.

# Sets PYTHON to a CPython 3.13 interpreter, or stops with a clear message. A PYTHON given by
# the caller wins; then python3.13 on PATH; then pyenv's 3.13.
find_python() {
    if [ -n "${PYTHON:-}" ]; then
        command -v "$PYTHON" >/dev/null 2>&1 || { echo "error: PYTHON=$PYTHON is not a program" >&2; exit 2; }
        return
    fi
    if command -v python3.13 >/dev/null 2>&1 && python3.13 -c '' >/dev/null 2>&1; then
        PYTHON=$(command -v python3.13)
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local prefix version
        for version in 3.13.0 $(pyenv versions --bare 2>/dev/null | grep '^3\.13' || true); do
            prefix=$(pyenv prefix "$version" 2>/dev/null) || continue
            if [ -x "$prefix/bin/python3.13" ]; then
                PYTHON="$prefix/bin/python3.13"
                return
            fi
        done
    fi
    echo "error: CPython 3.13 not found. Install it (for example 'pyenv install 3.13.0')" \
         "or point PYTHON at a python3.13 executable." >&2
    exit 2
}

# .venv with the test and tool dependencies, made anew when it is not a 3.13 one.
VENV=.venv
setup_venv() {
    find_python
    if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
        rm -rf "$VENV"
        "$PYTHON" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check -r tests/requirements.txt \
        2> >(grep -v "^WARNING: Location .* is ignored" >&2)
}

# build_module FOLDER PATH_STYLE [SANITIZE]: the module, warnings as errors.
build_module() {
    cmake -S . -B "$1" -DPython_EXECUTABLE="$PWD/$VENV/bin/python" -DCMAKE_BUILD_TYPE=Release \
        -DUPDATER_WERROR=ON -DUPDATER_SANITIZE="${3:-OFF}" -DUPDATER_PATH_STYLE="$2" >/dev/null
    cmake --build "$1" --parallel 2 >/dev/null
}
