# Sourced by the scripts in tools/: finding CPython 3.13, the virtual environment, the builds.

# The interpreter version to work with: 3.13 unless a script was asked for another
# (use_python_version). Its virtual environment and builds have folders of their own.
PY_VERSION=3.13
VENV=.venv
BUILD=build
use_python_version() {
    PY_VERSION=$1
    PYTHON=
    if [ "$PY_VERSION" != 3.13 ]; then
        VENV=.venv-$PY_VERSION
        BUILD=build/py$PY_VERSION
    fi
}

# Sets PYTHON to a CPython $PY_VERSION interpreter, or stops with a clear message. A PYTHON
# given by the caller wins; then pythonX.Y on PATH; then pyenv's X.Y.
find_python() {
    if [ -n "${PYTHON:-}" ]; then
        command -v "$PYTHON" >/dev/null 2>&1 || { echo "error: PYTHON=$PYTHON is not a program" >&2; exit 2; }
        local version
        version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || version=unknown
        if [ "$version" != "$PY_VERSION" ]; then
            echo "error: PYTHON=$PYTHON is CPython $version, not the $PY_VERSION wanted here" >&2
            exit 2
        fi
        return
    fi
    if command -v "python$PY_VERSION" >/dev/null 2>&1 && "python$PY_VERSION" -c '' >/dev/null 2>&1; then
        PYTHON=$(command -v "python$PY_VERSION")
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local prefix version
        for version in $(pyenv versions --bare 2>/dev/null | grep "^${PY_VERSION//./\\.}\\.[0-9]*\$" | sort -rV || true); do
            prefix=$(pyenv prefix "$version" 2>/dev/null) || continue
            if [ -x "$prefix/bin/python$PY_VERSION" ]; then
                PYTHON="$prefix/bin/python$PY_VERSION"
                return
            fi
        done
    fi
    echo "error: CPython $PY_VERSION not found. Install it (for example 'pyenv install $PY_VERSION')" \
         "or point PYTHON at a python$PY_VERSION executable." >&2
    exit 2
}

# $VENV with the test and tool dependencies (REQUIREMENTS), made anew when it is not of
# $PY_VERSION. Each step says what it does and, every five seconds, that it still runs; with
# SHOW_PROGRESS=1, pip also says what it fetches and installs (not what is there already).
REQUIREMENTS=tests/requirements.txt
setup_venv() {
    find_python
    local wanted="(${PY_VERSION/./, })"
    if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c "import sys; sys.exit(sys.version_info[:2] != $wanted)"; then
        rm -rf "$VENV"
        echo "   making the virtual environment $VENV with $PYTHON" >&2
        still_running "making $VENV" "$PYTHON" -m venv "$VENV"
    fi
    echo "   installing or checking the Python packages of $REQUIREMENTS in $VENV" >&2
    if [ "${SHOW_PROGRESS:-}" = 1 ]; then
        still_running "installing" "$VENV/bin/python" -m pip install --disable-pip-version-check \
            -r "$REQUIREMENTS" 2> >(grep --line-buffered -v "^WARNING: Location .* is ignored" >&2) |
            { grep --line-buffered -v "^Requirement already satisfied" || true; }
    else
        still_running "installing the Python packages" "$VENV/bin/python" -m pip install --quiet \
            --disable-pip-version-check -r "$REQUIREMENTS" 2> >(grep --line-buffered -v "^WARNING: Location .* is ignored" >&2)
    fi
}

# The lines of a requirements file for the module's run and a local store, in the versions the
# tests use: boto3, urllib3 and progressbar for the updater; moto's S3 alone (not every service
# of moto[server]) and the web framework of its server.
module_requirements() {
    grep -E '^(boto3|urllib3|progressbar|backports\.zstd)==' tests/requirements.txt
    sed -n 's/^moto\[server\]==/moto[s3]==/p' tests/requirements.txt
    printf '%s\n' flask flask-cors
}

# still_running WHAT COMMAND...: runs COMMAND; while it does, says every five seconds, on
# standard error (standard output may be a script's result), that WHAT goes on, and for how long.
still_running() {
    local what=$1 begin=$SECONDS ticker status=0
    shift
    (while sleep 5; do echo "   ... still $what ($((SECONDS - begin)) s)" >&2; done) &
    ticker=$!
    "$@" || status=$?
    kill $ticker
    wait $ticker 2>/dev/null || true
    return $status
}

# The endpoint of every build made here. Its host never resolves: the tests, the demo and the
# benchmarks reach it through their local server on 127.0.0.1, set as the HTTP proxy.
TEST_ENDPOINT=http://storage.kelvo-bot.invalid

# build_module FOLDER PATH_STYLE [SANITIZE [RELEASE_PUBLIC_KEY [SPARE_PUBLIC_KEY]]]: the module,
# warnings as errors; with a key, one that requires releases signed with it (or the spare). The sources are compiled as one unit,
# which takes half the time; the package builds (pip, tools/build-windows.sh) and clang-tidy
# still compile each source alone, so a source that does not include what it uses is caught.
# A line every five seconds says that it still compiles; with SHOW_PROGRESS=1, CMake's steps
# are shown too, on the standard output this shell was given (a descriptor, not /dev/stdout,
# which would open the file anew and write over whatever a log already holds).
build_module() {
    local shown
    if [ "${SHOW_PROGRESS:-}" = 1 ]; then exec {shown}>&1; else exec {shown}>/dev/null; fi
    echo "   building $1 (the path rules: $2${4:+; signed releases required})" >&2
    still_running "configuring $1" cmake -S . -B "$1" -DPython_EXECUTABLE="$PWD/$VENV/bin/python" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_UNITY_BUILD=ON \
        -DUPDATER_WERROR=ON -DUPDATER_SANITIZE="${3:-OFF}" -DUPDATER_PATH_STYLE="$2" \
        -DUPDATER_ENDPOINT_URL="$TEST_ENDPOINT" -DUPDATER_RELEASE_PUBLIC_KEY="${4:-}" \
        -DUPDATER_SPARE_PUBLIC_KEY="${5:-}" >&$shown
    still_running "compiling $1" cmake --build "$1" --parallel 2 >&$shown
    exec {shown}>&-
}

# The comment block at the top of script $1, below its #! line: the script's --help text.
script_help() {
    sed -n '2,/^set -e/{/^set -e/d;s/^# \{0,1\}//;p}' "$1"
}

# help_if_asked SCRIPT ARG...: when -h or --help is anywhere among the arguments, prints the
# script's help and exits 0, before anything else is looked at or done.
help_if_asked() {
    local script=$1 arg
    shift
    for arg in "$@"; do
        case "$arg" in
            -h|--help) script_help "$script"; exit 0 ;;
        esac
    done
}

# apt_install PROGRAM PACKAGE...: Debian's PACKAGEs, when PROGRAM is not there yet (as root,
# non-interactively; waits while another apt or dpkg holds the lock).
apt_install() {
    local program=$1 attempt
    shift
    command -v "$program" >/dev/null 2>&1 && return
    if [ "$(id -u)" != 0 ]; then
        echo "error: $program is missing: install $* (apt-get install $*)" >&2
        exit 2
    fi
    echo "$program is not installed; installing Debian's $*" >&2
    for attempt in $(seq 30); do
        if { [ -n "${APT_UPDATED:-}" ] || still_running "reading Debian's package lists" apt-get update -qq; } &&
           still_running "installing $*" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
               --no-install-recommends -o DPkg::Lock::Timeout=600 "$@" >/dev/null; then
            export APT_UPDATED=1
            return
        fi
        echo "apt-get failed (attempt $attempt); retrying in 10 s" >&2
        sleep 10
    done
    exit 1
}
