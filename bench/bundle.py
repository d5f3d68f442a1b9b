"""The Windows bundle: its zipped size, and the time from starting the updater under Wine to its
first message, for one or more bundles, interleaved round by round.

    .venv/bin/python bench/bundle.py BUNDLE [BUNDLE...] [--rounds N]

Each round copies each bundle afresh, with new file times as unzipping may give them, and starts
its interpreter twice in the copy's bin folder: "first run" is the first start after unpacking, "next run" the one after
it (a bundle without bytecode compiles its packages on the first, and writes them where it may).
The time is to the first line on the interpreter's output, "Checking hash-sum of local and
remote file...": the imports of the module and its libraries and the storage client's set-up.
Then update.cmd runs once in a console window, as a double-click starts it: the time to the
first line in the window, and to the updater's own first line. Nothing is reached over the
network (the proxy is a closed port). Run after tools/test.sh --windows, which makes the bundle
and installs Wine.
"""

from __future__ import annotations

import argparse
import io
import shutil
import socket
import statistics
import sys
import tempfile
import time
import zipfile
from pathlib import Path

from shared import Wine, booted, ended_after, windows_path


def zipped_size(folder: Path) -> int:
    """Bytes of the folder as `zip -9` packs it."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for path in sorted(folder.rglob("*")):
            if path.is_file():
                archive.write(path, path.relative_to(folder).as_posix())
    return buffer.tell()


def first_message_seconds(wine: Wine, bin_dir: Path, proxy: str) -> float:
    start = time.monotonic()
    with ended_after(wine.start(windows_path(bin_dir / "python" / "python.exe"), "-u", "-c",
                                "import updater_core", cwd=bin_dir,
                                env=wine.environment(http_proxy=proxy, AWS_MAX_ATTEMPTS="1"))) as process:
        line = process.stdout.readline()
        elapsed = time.monotonic() - start
        if not line.startswith(b"Checking"):
            raise RuntimeError(f"unexpected first line {line!r}: {process.stderr.read()!r}")
        process.communicate(timeout=300)
        return elapsed


def launcher_seconds(wine: Wine, bin_dir: Path, proxy: str) -> tuple[float, float]:
    """Seconds from starting update.cmd in a console to the first line in the window, and to the
    updater's first line."""
    start, seen = time.monotonic(), {}

    def watch(screen):
        lines = [line for line in screen.display if line.strip()]
        if lines:
            seen.setdefault("first", time.monotonic() - start)
        if any(line.startswith("Checking hash-sum") for line in lines):
            seen.setdefault("updater", time.monotonic() - start)

    wine.run_in_console("cmd", "/c", windows_path(bin_dir / "update.cmd"), cwd=bin_dir.parent,
                        watch=watch, http_proxy=proxy, AWS_MAX_ATTEMPTS="1")
    return seen["first"], seen["updater"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("bundles", nargs="+", type=Path)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-bundle-") as scratch, socket.socket() as closed, \
            booted(Path(scratch) / "prefix") as wine:
        closed.bind(("127.0.0.1", 0))
        proxy = f"http://127.0.0.1:{closed.getsockname()[1]}"
        times = {bundle: ([], [], [], []) for bundle in args.bundles}
        for round_number in range(args.rounds):
            for bundle in args.bundles:
                copy = Path(scratch) / f"bot-{round_number}" / "bin"
                shutil.copytree(bundle, copy, copy_function=shutil.copy)
                first, following, window, updater = times[bundle]
                first.append(first_message_seconds(wine, copy, proxy))
                following.append(first_message_seconds(wine, copy, proxy))
                seconds = launcher_seconds(wine, copy, proxy)
                window.append(seconds[0])
                updater.append(seconds[1])
                print(f"round {round_number + 1}, {bundle}: {first[-1]:.2f} s, then "
                      f"{following[-1]:.2f} s; update.cmd: {window[-1]:.2f} s, the updater's "
                      f"{updater[-1]:.2f} s", file=sys.stderr, flush=True)
                shutil.rmtree(copy.parent)

    def spread(values):
        return f"{statistics.median(values):.2f}; {min(values):.2f}–{max(values):.2f}"

    print("| bundle | zipped, MB | first run, s (median; range) | next run, s (median; range) "
          "| update.cmd: first line in the window, s | update.cmd: the updater's first line, s |")
    print("|---|---|---|---|---|---|")
    for bundle, columns in times.items():
        print(f"| {bundle} | {zipped_size(bundle) / 1e6:.1f} | " + " | ".join(map(spread, columns)) + " |")


if __name__ == "__main__":
    main()
