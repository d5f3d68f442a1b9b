"""get_hash_digest on a 64 MiB file against the same loop in Python and hashlib.file_digest.

    .venv/bin/python bench/digest.py [--build build/native] [--size-mib 64] [--repeat 5]

Each contender hashes the same file; the best of --repeat runs counts. The module and the
plain-Python loop make the same calls (read of block_size bytes, then update, per 64 bytes);
hashlib.file_digest reads large buffers and is the limit for any SHA-256 of the file.
"""

import argparse
import hashlib
import os
import tempfile
import time

from module import load


def python_loop(file_path):
    h = hashlib.sha256()
    with open(file_path, "rb") as file:
        while True:
            chunk = file.read(h.block_size)
            if not chunk:
                break
            h.update(chunk)
    return h.hexdigest()


def file_digest(file_path):
    with open(file_path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def best(function, path, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        digest = function(path)
        times.append(time.perf_counter() - start)
    return min(times), digest


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build")
    parser.add_argument("--size-mib", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    module = load(args.build)
    size = args.size_mib * 1024 * 1024
    with tempfile.NamedTemporaryFile(delete=False) as file:
        file.write(os.urandom(size))
    try:
        results = {}
        for name, function in [("get_hash_digest", module.get_hash_digest),
                               ("python loop", python_loop), ("hashlib.file_digest", file_digest)]:
            results[name] = best(function, file.name, args.repeat)
    finally:
        os.unlink(file.name)

    assert len({digest for _, digest in results.values()}) == 1, "the digests differ"
    loop = results["python loop"][0]
    print(f"{args.size_mib} MiB, best of {args.repeat}")
    for name, (seconds, _) in results.items():
        print(f"{name:>20}: {size / seconds / 1e6:8.1f} MB/s  {loop / seconds:5.2f}x the Python loop")


if __name__ == "__main__":
    main()
