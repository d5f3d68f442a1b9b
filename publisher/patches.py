"""Patches to a release from earlier executables, as the updater takes them.

A bot whose executable is one the publisher patched from downloads only the patch and rebuilds
the release from it and its own file: for a release that changes a few MiB of a large program,
tens of times fewer bytes. Each patch is one zstd frame made with the old executable as its
referenced prefix and long-distance matching, a window that covers both files, and the content
size written in the frame; it is stored as the object named after the old executable's SHA-256
(project.patch_object), so the bot asks for its own by the digest it already has. A patch is not
signed: a bot takes it only in a build that requires signed releases, and installs what it makes
only when that is the signed size and digest; anything else sends it to the whole executable.

The library is backports.zstd, Python 3.14's compression.zstd for 3.13: zstd's patch mode needs
the old file as a prefix, which python-zstandard does not offer (its dictionaries never reach
long-distance matching, and a 100 MiB pair patches to 100 MiB).
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

from backports import zstd

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from project import BUCKET, EXE_NAME, PATCH_PREFIX, PATCH_SUFFIX, patch_object  # noqa: E402

# zstd's levels for patches: a patch is made at each and the smallest kept. Neither alone is
# within a tenth of zstd's smallest on both of the benchmark's pairs (bench/update.py --patch):
# 19 is on a real program's releases and 9 five times smaller on 100 MiB with scattered changes.
LEVELS = (19, 9)


def window_log(old_size: int, new_size: int) -> int:
    """The window, as a power of two, that covers both executables: the module allows a patch no
    larger one."""
    return min(max(max(old_size, new_size, 1).bit_length(), 10), 31)


def make(old, new, level: int | None = None) -> bytes:
    """The patch that makes `new` from `old` (bytes-like): the smallest of LEVELS, or at `level`."""
    if level is None:
        return min((make(old, new, level) for level in LEVELS), key=len)
    options = {zstd.CompressionParameter.compression_level: level,
               zstd.CompressionParameter.window_log: window_log(len(old), len(new)),
               zstd.CompressionParameter.enable_long_distance_matching: 1,
               zstd.CompressionParameter.content_size_flag: 1}
    compressor = zstd.ZstdCompressor(options=options, zstd_dict=zstd.ZstdDict(old, is_raw=True).as_prefix)
    compressor.set_pledged_input_size(len(new))
    return compressor.compress(new, mode=zstd.ZstdCompressor.FLUSH_FRAME)


def apply(old, patch: bytes, size: int) -> bytes | None:
    """What `patch` makes from `old`, read to one byte past `size` at most (None if it makes more),
    as the module reads it."""
    decoder = zstd.ZstdDecompressor(
        zstd_dict=zstd.ZstdDict(old, is_raw=True).as_prefix,
        options={zstd.DecompressionParameter.window_log_max: window_log(len(old), size)})
    made = decoder.decompress(patch, max_length=size + 1)
    if len(made) > size or not decoder.eof or decoder.unused_data:
        return None
    return made


def digest(data) -> str:
    return hashlib.sha256(data).hexdigest()


def bases(client, new_digest: str, files=()) -> list[bytes]:
    """The executables to patch from: the store's current one (unless it is the new one, or there
    is none), then the files named."""
    found = []
    try:
        current = client.get_object(Bucket=BUCKET, Key=EXE_NAME)["Body"].read()
        if digest(current) != new_digest:
            found.append(current)
    except client.exceptions.NoSuchKey:
        pass
    return found + [Path(file).read_bytes() for file in files]


def upload(client, new_path, bases) -> dict[str, int]:
    """Makes and stores the patch from each of `bases` (bytes) to the executable at `new_path`;
    a base that is the new executable, or whose patch is no smaller than it, gets none.
    Returns the size of each patch stored, by its base's digest."""
    new = Path(new_path).read_bytes()
    stored = {}
    for base in bases:
        base_digest = digest(base)
        if base_digest in stored or base == new:
            continue
        patch = make(base, new)
        if len(patch) >= len(new):
            continue
        client.put_object(Bucket=BUCKET, Key=patch_object(base_digest), Body=patch)
        stored[base_digest] = len(patch)
    return stored


def stored(client) -> list[str]:
    """The base digests of the patches the store holds."""
    names = []
    for page in client.get_paginator("list_objects_v2").paginate(Bucket=BUCKET, Prefix=PATCH_PREFIX):
        names += [item["Key"] for item in page.get("Contents", [])]
    return [name.removeprefix(PATCH_PREFIX).removesuffix(PATCH_SUFFIX) for name in names
            if name.endswith(PATCH_SUFFIX)]


def prune(client, kept) -> None:
    """Removes the patches to earlier releases: those from bases not in `kept`."""
    for base_digest in stored(client):
        if base_digest not in kept:
            client.delete_object(Bucket=BUCKET, Key=patch_object(base_digest))


def check(client, size: int, release_digest: str, files=()) -> tuple[int, list[str]]:
    """How many patches the store holds, and what is wrong with any of them as a patch to the
    release of `size` bytes and `release_digest`: each must be one zstd frame that says it makes
    that many bytes, and one from an executable of `files` must make the release from it."""
    given = {}
    for file in files:
        given.setdefault(digest(Path(file).read_bytes()), file)
    bases, problems = stored(client), []
    for base in bases:
        patch = client.get_object(Bucket=BUCKET, Key=patch_object(base))["Body"].read()
        try:
            makes = zstd.get_frame_info(patch).decompressed_size
        except zstd.ZstdError as error:
            problems.append(f"the patch from sha256 {base} is no zstd frame ({error})")
            continue
        if makes != size:
            problems.append(f"the patch from sha256 {base} makes {makes} bytes, not the release's {size}")
        elif base in given:
            made = apply(Path(given[base]).read_bytes(), patch, size)
            if made is None or digest(made) != release_digest:
                problems.append(f"the patch from {given[base]} does not make the release from it")
    return len(bases), problems
