"""Many updaters at once against one SeaweedFS gateway on 127.0.0.1.

    .venv/bin/python bench/load.py [--build build/native] [--check 10,50,100] [--update 10,30]
                                   [--size 20] [--cluster] [--wave-timeout 600]

A 20 MiB executable (--size) is published to a SeaweedFS store started for the run (its module
keys read-only, as in production). Then waves of updater processes start together, each a fresh
interpreter importing the module in a bot folder of its own:
  - check waves (--check): the folder holds the current executable; the run must find it
    identical (its 60-second wait is skipped);
  - update waves (--update): the folder holds an old executable; the run must download and
    install the published one byte for byte and start the bot (its 3-second wait is skipped).
A baseline wave as large as the largest check wave runs interpreters that only import the
libraries and make the client: the floor a check cannot go below on this machine.
For each wave: how many runs ended correctly, the wall time from the first start to the last
end, the slowest and the median run (each from its own start), and the store's memory after the
wave: resident, its anonymous part, and the peak so far (Store.memory_mib says what each counts).
Everything stays on loopback; a wave that outlives --wave-timeout is killed and counts its
unfinished runs as failures; the store and the folders are removed at the end.
"""

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from shared import BUCKET, EXE_NAME, ROOT, clean_environment, local_s3, seaweedfs

UPDATER = ("import time; sleep = time.sleep; "
           "time.sleep = lambda s: None if s in (3, 60) else sleep(s); import updater_core")
# The floor of a check: an interpreter that imports the libraries and makes the client.
BASELINE = ("import boto3, progressbar, urllib3, hashlib, locale; "
            "boto3.session.Session().client(service_name='s3', endpoint_url='http://x.invalid')")


def wave(count, kind, exe, digest, work, env, timeout):
    """Starts `count` updaters together; (correct runs, wall seconds, slowest run seconds)."""
    folders = []
    for i in range(count):
        folder = work / f"{kind}-{count}-{i}"
        folder.mkdir()
        if kind != "update":
            os.link(exe, folder / EXE_NAME)  # the current executable; only read
        else:
            (folder / EXE_NAME).write_bytes(b"MZ old")
        folders.append(folder)

    durations, outputs, starts, processes = [None] * count, [None] * count, [], []
    start = time.monotonic()
    for folder in folders:
        starts.append(time.monotonic())
        processes.append(subprocess.Popen(
            [sys.executable, "-c", BASELINE if kind == "baseline" else UPDATER], cwd=folder,
            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL))

    def collect(i):
        try:
            out, _ = processes[i].communicate(timeout=max(timeout - (time.monotonic() - start), 0))
        except subprocess.TimeoutExpired:
            processes[i].kill()
            processes[i].communicate()
            return
        durations[i], outputs[i] = time.monotonic() - starts[i], out.decode(errors="replace")

    threads = [threading.Thread(target=collect, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wall = time.monotonic() - start

    correct = 0
    for process, folder, out in zip(processes, folders, outputs):
        if out is None or process.returncode != 0:
            continue
        if kind == "baseline":
            correct += 1
        elif kind == "check":
            correct += "Exactly identical to the file on the server!" in out
        else:
            installed = hashlib.sha256((folder / EXE_NAME).read_bytes()).hexdigest()
            correct += (installed == digest and out.rstrip().endswith("Done. Starting bot.")
                        and not (folder / "kelvo_bot.temp").exists())
    for folder in folders:
        shutil.rmtree(folder, ignore_errors=True)
    finished = [d for d in durations if d is not None]
    return correct, wall, max(finished, default=float("nan")), statistics.median(finished or [0])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build" / "native"))
    parser.add_argument("--check", default="10,50,100")
    parser.add_argument("--update", default="10,30")
    parser.add_argument("--size", type=int, default=20, help="executable size in MiB")
    parser.add_argument("--cluster", action="store_true", help="a cluster instead of one server")
    parser.add_argument("--wave-timeout", type=float, default=600)
    args = parser.parse_args()

    endpoint = local_s3.built_endpoint(args.build)
    work = Path(tempfile.mkdtemp(prefix="bench-load-"))
    env = clean_environment(HOME=str(work), PYTHONPATH=args.build)
    try:
        with seaweedfs.serving(seaweedfs.built_keys(args.build), cluster=args.cluster) as store:
            env["http_proxy"] = store.proxy
            exe = work / EXE_NAME
            with open(exe, "wb") as file:
                file.write(b"#!/bin/sh\nexit 0\n")
                for _ in range(args.size):
                    file.write(os.urandom(1024 * 1024))
            digest = hashlib.sha256(exe.read_bytes()).hexdigest()
            publisher = store.client(endpoint=endpoint)
            publisher.upload_file(str(exe), BUCKET, EXE_NAME)
            publisher.put_object(Bucket=BUCKET, Key="exe_hash", Body=digest.encode())

            now, anonymous, _ = store.memory_mib()
            print(f"SeaweedFS {'cluster' if args.cluster else 'single server'}, {args.size} MiB "
                  f"executable, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f} "
                  f"at start; store {now:.0f} MiB resident ({anonymous:.0f} anonymous) after "
                  f"publishing")
            print(f"{'wave':>16} {'correct':>8} {'total s':>8} {'slowest s':>10} {'median s':>9} "
                  f"{'store MiB':>10} {'anonymous':>10} {'peak':>6}")
            checks = [int(n) for n in args.check.split(",") if n]
            waves = [("check", n) for n in checks] + [("baseline", max(checks))] * bool(checks) + \
                    [("update", int(n)) for n in args.update.split(",") if n]
            for kind, count in waves:
                correct, wall, slowest, median = wave(count, kind, exe, digest, work, env,
                                                      args.wave_timeout)
                now, anonymous, peak = store.memory_mib()
                print(f"{kind + ' x' + str(count):>16} {f'{correct}/{count}':>8} {wall:8.1f} "
                      f"{slowest:10.1f} {median:9.1f} {now:10.0f} {anonymous:10.0f} {peak:6.0f}",
                      flush=True)
            started = time.monotonic()
        print(f"store stopped in {time.monotonic() - started:.1f} s")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
