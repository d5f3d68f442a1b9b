"""get_hash_digest against the same loop in Python and hashlib.file_digest.

    .venv/bin/python bench/digest.py [--build build/native] [--baseline DIR] [--size-mib 64] [--rounds 9]
    .venv/bin/python bench/digest.py --callgrind [--build build/native] [--baseline DIR] [--size-mib 2]

Times: the contenders hash the same file in rounds, one after the other in a rotating order, so
that whatever else the machine does falls on all of them alike; each round gives every
contender's speed and its ratio to the Python loop of the same round, and the ranges over the
rounds are reported. Instruction counts (--callgrind): each contender runs alone in a fresh
interpreter under valgrind's callgrind, once on a file of --size-mib and once on a file twice
that size; the difference, divided by the number of 64-byte blocks it adds, is the cost of one
pass of the loop, with the start-up and the import cancelled out. Counts are deterministic;
times on a shared machine are not.

The module and the Python loop make the same calls (read of block_size bytes, then update, per
64 bytes); hashlib.file_digest reads large buffers and is the limit for any SHA-256 of the file.
--baseline adds the get_hash_digest of another build (for example of the previous commit).
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from module import load

HERE = Path(__file__).resolve().parent


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


def contenders(args):
    """name -> (build folder or None, function maker); the Python loop comes first."""
    named = {"python loop": (None, lambda: python_loop),
             "get_hash_digest": (args.build, lambda: load(args.build).get_hash_digest)}
    if args.baseline:
        named["get_hash_digest (baseline)"] = (args.baseline,
                                               lambda: load(args.baseline).get_hash_digest)
    named["hashlib.file_digest"] = (None, lambda: file_digest)
    return named


def random_file(size):
    with tempfile.NamedTemporaryFile(delete=False, prefix="bench-digest-") as file:
        for _ in range(size // (1 << 20)):
            file.write(os.urandom(1 << 20))
        file.write(os.urandom(size % (1 << 20)))
    return file.name


def timed(args):
    size = args.size_mib << 20
    functions = {name: make() for name, (_, make) in contenders(args).items()}
    names = list(functions)
    speeds = {name: [] for name in names}
    ratios = {name: [] for name in names}
    path = random_file(size)
    try:
        expected = file_digest(path)
        for round_ in range(args.rounds):
            seconds = {}
            shift = round_ % len(names)
            for name in names[shift:] + names[:shift]:
                start = time.perf_counter()
                digest = functions[name](path)
                seconds[name] = time.perf_counter() - start
                assert digest == expected, f"{name} gives another digest"
            for name in names:
                speeds[name].append(size / seconds[name] / 1e6)
                ratios[name].append(seconds["python loop"] / seconds[name])
    finally:
        os.unlink(path)

    # On a busy machine a run is only ever slowed down, so each contender's best speed is the
    # nearest to its own; the per-round ratios show how far the noise reaches.
    print(f"{args.size_mib} MiB, {args.rounds} interleaved rounds: MB/s (range) and the "
          f"ratio to the Python loop (range of the rounds' ratios, median, ratio of the bests)")
    best_loop = max(speeds["python loop"])
    for name in names:
        print(f"{name:>27}: {min(speeds[name]):7.1f}–{max(speeds[name]):7.1f} MB/s   "
              f"{min(ratios[name]):4.2f}–{max(ratios[name]):4.2f}x, "
              f"median {sorted(ratios[name])[len(ratios[name]) // 2]:4.2f}x, "
              f"bests {max(speeds[name]) / best_loop:4.2f}x")


def instructions(name, build, path):
    """Instructions callgrind counts for a fresh interpreter hashing path with one contender."""
    argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
            str(HERE / "digest.py"), "--only", name.removesuffix(" (baseline)"), "--file", path]
    if build:
        argv += ["--build", build]  # the baseline's build, measured as get_hash_digest
    done = subprocess.run(argv, capture_output=True, text=True,
                          env=dict(os.environ, PYTHONHASHSEED="0"))
    found = re.search(r"Collected : (\d+)", done.stderr)
    if done.returncode != 0 or not found:
        raise RuntimeError(f"{name} under callgrind failed:\n{done.stderr[-2000:]}")
    return int(found.group(1))


def counted(args):
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed (apt-get install valgrind)")
    size = args.size_mib << 20
    paths = [random_file(size), random_file(2 * size)]
    try:
        blocks = size // 64
        print(f"callgrind: instructions per 64-byte block, from {args.size_mib} and "
              f"{2 * args.size_mib} MiB")
        counts = {}
        for name, (build, _) in contenders(args).items():
            small, large = (instructions(name, build, path) for path in paths)
            counts[name] = (large - small) / blocks
        # hashlib.file_digest's count is SHA-256's alone (its reads are 1/4096 as many).
        sha = counts["hashlib.file_digest"]
        for name, count in counts.items():
            print(f"{name:>27}: {count:7.1f}, the Python loop's / this: "
                  f"{counts['python loop'] / count:4.2f}; besides SHA-256: {count - sha:7.1f}")
    finally:
        for path in paths:
            os.unlink(path)


def only(args):
    """One contender once, on --file: the process that callgrind counts."""
    contenders(args)[args.only][1]()(args.file)


def absolute(folder):
    return str(Path(folder).resolve())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    # The folders are made absolute here: the module is imported in another working directory.
    parser.add_argument("--build", type=absolute, default=str(HERE.parent / "build" / "native"),
                        help="the build folder of the module measured")
    parser.add_argument("--baseline", type=absolute, help="another build folder, measured as well")
    parser.add_argument("--size-mib", type=int, help="file size (default 64, or 2 with --callgrind)")
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds of the timing")
    parser.add_argument("--callgrind", action="store_true",
                        help="count instructions per block instead of timing")
    parser.add_argument("--only", help=argparse.SUPPRESS)
    parser.add_argument("--file", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.only:
        only(args)
    elif args.callgrind:
        args.size_mib = args.size_mib or 2
        counted(args)
    else:
        args.size_mib = args.size_mib or 64
        timed(args)


if __name__ == "__main__":
    main()
