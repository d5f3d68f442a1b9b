# Sourced by the scripts in tools/: sets PYTHON to a CPython 3.13 interpreter, or stops with a
# clear message. A PYTHON given by the caller wins.
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
        local prefix
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
