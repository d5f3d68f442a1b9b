"""A whole update from the local server against a plain boto3 download of the same object.

    .venv/bin/python bench/update.py [--build build/native] [--baseline DIR]... [--sizes 100,400]
                                     [--repeat 11] [--link-mbps 50] [--store moto|seaweedfs]

For each size (MiB) an executable is published (with its signature by the tests' key, which a
build without a key ignores) to a local S3 server on 127.0.0.1, moto's or SeaweedFS (which
checks the module's keys), then the contenders run in fresh interpreters, interleaved (one of
each per round, in a rotating order), each started by `/usr/bin/time -v`:
  - the updater: `import updater_core` in a bin subdirectory holding an outdated executable
    (check, download with the progress bar, replacement, start of the bot; its 3-second wait
    after the start is skipped);
  - with --baseline, the same with the module built in DIR, for each DIR given (named after
    its folder);
  - the same with MALLOC_ARENA_MAX=1 (one C allocator arena for all threads);
  - the limit: boto3's download_fileobj of the same object into a file, nothing else.
Reported, as ranges over the rounds: wall time, the child's peak resident memory as
/usr/bin/time reports it (time is a small launcher, so the figure is the child's own and not
this process's, which a child forked from here would inherit), the child's CPU time, and the CPU
time the server spent meanwhile (moto's runs in a thread of this process, with the relay: this
process's CPU time; SeaweedFS's, its server process's); then each updater's wall and CPU time over the plain
download's, the median and the range of the rounds' ratios; with moto, the requests each child made (method
and object, from moto's request log). With --link-mbps the children reach the server
through a relay here (tests/relay.py) that passes at most that many MB/s towards them, as a real
link would.

Eleven rounds by default: on a shared machine single rounds vary by up to twice, and a median
and a range need more than three. The default run (100 and 400 MiB over loopback from moto,
three contenders) takes about 7 minutes on the 2-core development machine, with two --baseline
builds about 13; moto's copying (see bench/README.md) makes the 400 MiB rounds most of it.
"""

import argparse
import collections
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

from shared import (BUCKET, EXE_NAME, ROOT, Relay, clean_environment, local_s3, moto_server, release_statement,
                    seaweedfs)

UPDATER = ("import time; sleep = time.sleep; "
           "time.sleep = lambda s: None if s == 3 else sleep(s); import updater_core")
PLAIN = """
import boto3, os
client = boto3.session.Session().client(
    service_name="s3", aws_access_key_id=os.environ["KEY_ID"],
    aws_secret_access_key=os.environ["SECRET"],
    endpoint_url=os.environ["ENDPOINT"], verify=False)
with open("kelvo_bot.temp", "wb") as file:
    client.download_fileobj("kelvo-bot", "kelvo_bot.exe", file)
"""
PLAIN_NAME = "plain download_fileobj"


def measured(argv, cwd, env):
    """Wall seconds, peak RSS (MiB) and CPU seconds of one child, which must succeed."""
    with tempfile.NamedTemporaryFile("r", prefix="bench-time-") as report:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-v", "-o", report.name, *argv], cwd=cwd, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        text = report.read()
    if done.returncode != 0:
        raise RuntimeError(f"{argv} failed with {done.returncode}:\n{done.stderr.decode()[-2000:]}")

    def field(label):
        return float(re.search(rf"{re.escape(label)}: ([\d.]+)", text).group(1))

    cpu = field("User time (seconds)") + field("System time (seconds)")
    return seconds, field("Maximum resident set size (kbytes)") / 1024, cpu


def requests_made(lines):
    """'GET kelvo_bot.exe 13, ...': the requests of moto's request log lines, counted by method
    and object key (a ranged GET of the executable is one GET each)."""
    made = collections.Counter()
    for line in lines:
        # werkzeug colours some lines (a 206, say) with terminal escapes.
        found = re.search(r'"([A-Z]+) (\S+) HTTP/', re.sub(r"\x1b\[[\d;]*m", "", line))
        if found:
            path = urllib.parse.urlsplit(found.group(2)).path
            made[found.group(1), path.split("/", 2)[-1]] += 1
    return ", ".join(f"{method} {key} {count}" for (method, key), count in sorted(
        made.items(), key=lambda item: (item[0][1], item[0][0])))


def cpu_seconds(pid):
    """User and system CPU seconds of a process so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "native"),
                        help="the build folder of the module measured")
    parser.add_argument("--sizes", default="100,400", help="executable sizes in MiB")
    parser.add_argument("--repeat", type=int, default=11,
                        help="interleaved rounds per size (default: %(default)s)")
    parser.add_argument("--baseline", action="append", default=[],
                        help="the build folder of another module, measured too (may be repeated)")
    parser.add_argument("--link-mbps", type=float,
                        help="limit the download direction to this many MB/s")
    parser.add_argument("--store", choices=["moto", "seaweedfs"], default="moto",
                        help="the local S3 server (default: %(default)s)")
    args = parser.parse_args()
    # The children run in other folders.
    args.build = str(Path(args.build).resolve())
    args.baseline = [str(Path(folder).resolve()) for folder in args.baseline]

    started = time.monotonic()
    endpoint = local_s3.built_endpoint(args.build)
    work = Path(tempfile.mkdtemp(prefix="bench-update-"))
    try:
        if args.store == "seaweedfs":
            keys = seaweedfs.built_keys(args.build)
            with seaweedfs.serving(keys) as store:
                pid = store.processes["server"].pid
                run(args, endpoint, store.port, work, lambda: cpu_seconds(pid),
                    store.client(endpoint=endpoint), keys, None)
        else:
            with moto_server(args.build) as server:
                run(args, endpoint, server.port, work, time.process_time, server.client, ("k", "s"),
                    server.request_log)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"whole run: {time.monotonic() - started:.0f} s")


def run(args, endpoint, port, work, server_cpu, client, keys, request_log):
    """Publishes each size and measures the contenders against it; server_cpu() is the
    server's CPU seconds so far; request_log the server's list of request lines, or None."""
    relay = Relay(port, rate=args.link_mbps * 1e6) if args.link_mbps else None
    env = clean_environment(http_proxy=relay.proxy if relay else f"http://127.0.0.1:{port}",
                            ENDPOINT=endpoint, PYTHONPATH=args.build, KEY_ID=keys[0],
                            SECRET=keys[1])
    envs = {"updater": env}
    for folder in args.baseline:
        name = Path(folder).name
        name = folder if f"updater, {name}" in envs else name
        envs[f"updater, {name}"] = dict(env, PYTHONPATH=folder)
    envs["updater, MALLOC_ARENA_MAX=1"] = dict(env, MALLOC_ARENA_MAX="1")
    envs[PLAIN_NAME] = env
    contenders = list(envs)

    link = f"a {args.link_mbps:g} MB/s link" if relay else "loopback"
    print(f"{args.repeat} interleaved rounds over {link}; ranges over the rounds of wall time, "
          f"the child's peak RSS and CPU time, and the server's CPU time meanwhile")
    try:
        for release, size_mib in enumerate((int(s) for s in args.sizes.split(",")), start=1):
            exe = work / EXE_NAME
            with open(exe, "wb") as file:
                file.write(b"#!/bin/sh\nexit 0\n")
                for _ in range(size_mib):
                    file.write(os.urandom(1024 * 1024))
            client.upload_file(str(exe), BUCKET, EXE_NAME)
            with open(exe, "rb") as file:
                digest = hashlib.file_digest(file, "sha256").hexdigest()
            statement = release_statement.make(local_s3.test_signing_key(), digest, exe.stat().st_size,
                                               release)
            client.put_object(Bucket=BUCKET, Key="exe_hash.sig", Body=statement)
            client.put_object(Bucket=BUCKET, Key="exe_hash", Body=digest.encode())
            exe.unlink()

            results = {name: [] for name in contenders}
            requests = {name: [] for name in contenders}
            for round_ in range(args.repeat):
                shift = round_ % len(contenders)
                for name in contenders[shift:] + contenders[:shift]:
                    bots = work / "bots"
                    shutil.rmtree(bots, ignore_errors=True)
                    (bots / "bin").mkdir(parents=True)
                    (bots / EXE_NAME).write_bytes(b"old")
                    before = server_cpu()
                    logged = len(request_log) if request_log is not None else 0
                    if name.startswith("updater"):
                        figures = measured([sys.executable, "-c", UPDATER], bots / "bin", envs[name])
                        with open(bots / EXE_NAME, "rb") as file:
                            assert hashlib.file_digest(file, "sha256").hexdigest() == digest
                    else:
                        figures = measured([sys.executable, "-c", PLAIN], bots, envs[name])
                    results[name].append((*figures, server_cpu() - before))
                    if request_log is not None:
                        requests[name].append(requests_made(request_log[logged:]))

            print(f"{size_mib} MiB")
            for name, runs in results.items():
                # Not server_cpu: that name is the function that measures it.
                wall, peak, cpu, served = (
                    f"{min(values):.{digits}f}–{max(values):.{digits}f}"
                    for values, digits in zip(zip(*runs), (2, 1, 2, 2)))
                print(f"  {name:>28}: {wall} s, peak {peak} MiB, CPU {cpu} s, "
                      f"server CPU {served} s")
            for name, made in requests.items():
                if made:
                    # The same in every round, as a rule; otherwise each that differs.
                    print(f"  {name:>28}: requests: {' | '.join(dict.fromkeys(made))}")
            # Within each round, where the load fell on all contenders alike; then the median
            # and the range.
            for name in contenders[:-1]:
                wall, cpu = (
                    f"{statistics.median(ratios):.3f}x ({min(ratios):.2f}–{max(ratios):.2f})"
                    for ratios in ([r[i] / plain[i] for r, plain in
                                    zip(results[name], results[PLAIN_NAME])] for i in (0, 2)))
                print(f"  {name:>28}: over the plain download's, median (range) of the rounds: "
                      f"wall {wall}, CPU {cpu}")
            # What the updater costs more than each baseline, in seconds, round by round (the
            # flushes of a durable update: compare bench/flush.py).
            for name in contenders[1:-2]:
                more = [mine[0] - theirs[0] for mine, theirs in zip(results["updater"], results[name])]
                print(f"  {'updater':>28}: wall minus {name}'s, median (range) of the rounds: "
                      f"{statistics.median(more):+.3f} s ({min(more):+.2f}–{max(more):+.2f})")
    finally:
        if relay:
            relay.close()


if __name__ == "__main__":
    main()
