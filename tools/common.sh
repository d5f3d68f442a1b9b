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

# What the scripts keep for later runs on this machine, outside the clone, so that a fresh clone
# in another folder finds it too: the compiler's cache and the virtual environments.
CACHE=${UPDATER_CACHE:-$HOME/.cache/updater_core}

# $VENV with the test and tool dependencies (REQUIREMENTS). Where $VENV is missing, or a link into
# the cache, it is a link to a virtual environment kept in $CACHE/venvs, one for each interpreter
# and requirements file's contents, made and filled once (another requirements file, another
# environment); a folder of the developer's own is kept and brought up to date in place, and made
# anew when it is not of $PY_VERSION. Each step says what it does and, every five seconds, that
# it still runs; with SHOW_PROGRESS=1, pip also says what it fetches and installs (not what is
# there already).
REQUIREMENTS=tests/requirements.txt
setup_venv() {
    find_python
    if [ ! -e "$VENV" ] && [ ! -L "$VENV" ] || [[ "$(readlink "$VENV")" == "$CACHE/venvs/"* ]]; then
        local name=${VENV##*/} key kept
        key=$({ "$PYTHON" -c 'import sys; print(sys.version, sys.executable)'; cat "$REQUIREMENTS"; } |
              sha256sum | cut -c1-16)
        kept=$CACHE/venvs/${name#.}-$key
        mkdir -p "$CACHE/venvs"
        # One script at a time makes an environment; the others wait and then find it made.
        (
            flock 9
            [ -e "$kept/.complete" ] && exit 0
            rm -rf "$kept"
            fill_venv "$kept" && touch "$kept/.complete"
        ) 9>"$kept.lock"
        # Left as it is when it is right: a script beside this one may be running from it.
        [ "$(readlink "$VENV")" = "$kept" ] || ln -sfn "$kept" "$VENV"
        return
    fi
    local wanted="(${PY_VERSION/./, })"
    if ! "$VENV/bin/python" -c "import sys; sys.exit(sys.version_info[:2] != $wanted)" 2>/dev/null; then
        rm -rf "$VENV"
    fi
    fill_venv "$VENV"
}

# fill_venv FOLDER: a virtual environment of $PYTHON in FOLDER (made if missing) with the
# packages of $REQUIREMENTS. pip keeps what it fetches in its own cache (~/.cache/pip).
fill_venv() {
    if [ ! -x "$1/bin/python" ]; then
        echo "   making the virtual environment $1 with $PYTHON" >&2
        still_running "making $1" "$PYTHON" -m venv "$1"
    fi
    echo "   installing or checking the Python packages of $REQUIREMENTS in $1" >&2
    if [ "${SHOW_PROGRESS:-}" = 1 ]; then
        still_running "installing" "$1/bin/python" -m pip install --disable-pip-version-check \
            -r "$REQUIREMENTS" 2> >(grep --line-buffered -v "^WARNING: Location .* is ignored" >&2) |
            { grep --line-buffered -v "^Requirement already satisfied" || true; }
    else
        still_running "installing the Python packages" "$1/bin/python" -m pip install --quiet \
            --disable-pip-version-check -r "$REQUIREMENTS" 2> >(grep --line-buffered -v "^WARNING: Location .* is ignored" >&2)
    fi
}

# Compiles go through ccache, its cache in $CACHE/ccache, keyed on the compiler, its flags and the
# preprocessed sources; paths under the clone are taken relative to it, and the build folder's
# own path is left out, so that a fresh clone in another folder finds what an earlier one
# compiled. Exported: CMake takes the launcher from the environment, in every build a script or
# test configures (pip's and the Windows cross-build's too). Without ccache, and not root to
# install it, the builds compile everything.
use_ccache() {
    if ! command -v ccache >/dev/null 2>&1; then
        [ "$(id -u)" = 0 ] || { echo "   (no ccache: every build compiles in full)" >&2; return 0; }
        apt_install ccache ccache
    fi
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=${CCACHE_DIR:-$CACHE/ccache}
    export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
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
# warnings as errors; with a key, one that requires releases signed with it (or the spare); with
# COVERAGE=ON, one that counts its branches for gcov. The sources are compiled as one unit,
# which takes half the time; the package builds (pip, tools/build-windows.sh) and clang-tidy
# still compile each source alone, so a source that does not include what it uses is caught.
# A line every five seconds says that it still compiles; with SHOW_PROGRESS=1, CMake's steps
# are shown too, on the standard output this shell was given (a descriptor, not /dev/stdout,
# which would open the file anew and write over whatever a log already holds).
build_module() {
    local shown
    use_ccache
    if [ "${SHOW_PROGRESS:-}" = 1 ]; then exec {shown}>&1; else exec {shown}>/dev/null; fi
    echo "   building $1 (the path rules: $2${4:+; signed releases required})" >&2
    still_running "configuring $1" cmake -S . -B "$1" -DPython_EXECUTABLE="$PWD/$VENV/bin/python" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_UNITY_BUILD=ON \
        -DCMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-}" \
        -DUPDATER_WERROR=ON -DUPDATER_SANITIZE="${3:-OFF}" -DUPDATER_COVERAGE="${COVERAGE:-OFF}" \
        -DUPDATER_PATH_STYLE="$2" \
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
