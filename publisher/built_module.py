"""What a built module trusts: the updater_core modules in a wheel, a bundle folder, its zip or
the module file itself, and the endpoint and release keys each records in its bytes."""

from __future__ import annotations

import re
import zipfile

from signing_keys import named

def module_files(path):
    """(name, bytes) of each updater_core module in a wheel, a zip, a bundle folder or the module
    file itself."""
    def is_module(name):
        name = name.replace("\\", "/").rsplit("/", 1)[-1]
        return name.startswith("updater_core") and name.endswith((".pyd", ".so"))

    if path.is_dir():
        return [(str(f.relative_to(path)), f.read_bytes()) for f in sorted(path.rglob("*"))
                if f.is_file() and is_module(f.name)]
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as archive:
            return [(name, archive.read(name)) for name in archive.namelist() if is_module(name)]
    if path.is_file() and is_module(path.name):
        return [(path.name, path.read_bytes())]
    return []


# The build's release public key and its spare: "release-public-key=" or "spare-public-key="
# then 64 hexadecimal digits, or nothing for none, as NUL-terminated strings.
def built_keys(data, name):
    """The keys a module's bytes record under `name`, lower-case: [] when it records none, [""]
    for a build without such a key."""
    marker = re.compile(name.encode() + rb"=([0-9A-Fa-f]{64}|)\0")
    return sorted({m[1].decode().lower() for m in marker.finditer(data)})


def release_key(data):
    """What inspect says of the release public key a module's bytes trust."""
    keys = built_keys(data, "release-public-key")
    if not keys:
        return "not recorded (a build made before modules recorded it)"
    if keys == [""]:
        return "none: this build installs releases without a signature"
    return f"{', '.join(map(named, keys))} (only releases signed with its private key install)"


def spare_key(data):
    """What inspect says of the spare public key, which retires the release key once a release
    signed by it is installed."""
    keys = built_keys(data, "spare-public-key")
    if not keys:
        return "not recorded (a build made before modules took a spare key)"
    if keys == [""]:
        return "none"
    return (f"{', '.join(map(named, keys))} (a release signed with its private key installs too, and from then "
            f"on only the spare's)")
