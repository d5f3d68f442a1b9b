"""What one flush of a freshly written executable costs on this disk: the floor of a durable update.

    .venv/bin/python bench/flush.py [--sizes 100,400] [--repeat 11] [--folder DIR]

For each size (MiB) a file of random bytes is written in DIR (by default a temporary folder under
the current one, on the disk the updates of bench/update.py run on) and flushed with os.fsync, as
the updater flushes the new executable before its rename into place; then the folder is flushed,
as the updater flushes the bot folder after it. Rounds with and without the flushes alternate.
Reported, as the median and range over the rounds: the write alone, the file's flush, the folder's
flush. Compare the file's flush with the difference between the updater and a build without the
flushes in bench/update.py (--baseline).
"""

import argparse
import os
import shutil
import statistics
import tempfile
import time
from pathlib import Path

CHUNK = 1024 * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="100,400", help="file sizes in MiB")
    parser.add_argument("--repeat", type=int, default=11,
                        help="rounds per size (default: %(default)s)")
    parser.add_argument("--folder", default=".",
                        help="where to write (default: the current folder)")
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp(prefix="bench-flush-", dir=args.folder))
    block = os.urandom(CHUNK)
    try:
        for size_mib in (int(s) for s in args.sizes.split(",")):
            figures = {"write": [], "file flush": [], "folder flush": []}
            for round_ in range(2 * args.repeat):
                path = folder / "kelvo_bot.temp"
                started = time.perf_counter()
                with open(path, "wb") as file:
                    for _ in range(size_mib):
                        file.write(block)
                    file.flush()
                    written = time.perf_counter()
                    if round_ % 2:
                        os.fsync(file.fileno())
                flushed = time.perf_counter()
                os.replace(path, folder / "kelvo_bot.exe")
                if round_ % 2:
                    descriptor = os.open(folder, os.O_RDONLY)
                    os.fsync(descriptor)
                    os.close(descriptor)
                    figures["file flush"].append(flushed - written)
                    figures["folder flush"].append(time.perf_counter() - flushed)
                else:
                    figures["write"].append(written - started)
                # Nothing of this round waits in the cache for the next.
                os.sync()
            print(f"{size_mib} MiB, {args.repeat} rounds each, median (range):")
            for name, seconds in figures.items():
                print(f"  {name:>12}: {statistics.median(seconds):.3f} s "
                      f"({min(seconds):.3f}–{max(seconds):.3f})")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
