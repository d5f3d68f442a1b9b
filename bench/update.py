"""A whole update from a local S3 server against a plain boto3 download of the same object.

    .venv/bin/python bench/update.py [--build DIR]... [--sizes 100,400] [--repeat 11]
                                     [--old same,tiny] [--one-arena] [--link-mbps 50]
                                     [--store auto|moto|seaweedfs] [--timeout 300]
    .venv/bin/python bench/update.py --patch [--build build/signed] [--repeat 5]
                                     [--pairs real,synthetic] [--levels 1,3,9,19,22]

For each size (MiB) an executable is published (with its signature by the tests' key, which a
build without a key ignores) to a local S3 server on 127.0.0.1: by default moto's up to 100 MiB
and SeaweedFS (which checks the module's keys) above, because moto copies the whole object for
every ranged GET and a loaded machine then takes longer than the updater's watch waits for a
step. The contenders run in fresh interpreters, interleaved (one of each per round, in a
rotating order), each started by `/usr/bin/time -v`:
  - the updater of each build given with --build (the first is the reference; default
    build/native), `import updater_core` in a bin subdirectory above which lies an outdated
    executable: check, download with the progress bar, replacement, start of the bot (its
    3-second wait after the start is skipped). The outdated executable is, per --old:
      same: as large as the new one (other bytes), as a user's is: the check hashes it first;
      tiny: 3 bytes, as this benchmark had it until the figures of 2026-12-08, so that the
           check costs nothing and the figures compare with the earlier ones;
  - with --one-arena, the first build's updater again with MALLOC_ARENA_MAX=1 (one C allocator
    arena for all threads), over an outdated executable of the first --old kind;
  - the limit: boto3's download_fileobj of the same object into a file, nothing else.
Reported, as ranges over the rounds: wall time, the child's peak resident memory as
/usr/bin/time reports it (the child's own, not this process's, which a child forked from here
would inherit), the child's CPU time, and the CPU time the server spent meanwhile (moto runs in
a thread of this process, with the relay: this process's CPU time; SeaweedFS: its server
process's); then, within each round, each updater's wall and CPU time over the plain download's
and, for each later build, over the first build's with the same outdated executable: the median
and the range of the rounds' ratios. With moto, the requests each child made (method and
object, from moto's request log). With --link-mbps the children reach the server through a
relay here (tests/relay.py) that passes at most that many MB/s towards them, as a real link
would. The load average is printed with each size: the machine is shared.

A child that fails (exit status, the wrong executable installed, or --timeout passed) is
counted and its round left out of that contender's figures and ratios; the run goes on, reports
the failures with the first one's output, and exits with status 1.

Eleven rounds by default: on a shared machine single rounds vary by up to twice, and a median
and a range need more than three.

With --patch, a patch update against the whole download, on two pairs of an executable and its
next release: two patch releases of a real Windows program (the 8 MiB Rust extension, a DLL, of
cryptography 44.0.0 and 44.0.1 for Windows, from PyPI's wheels, fetched with pip), and a
synthetic 100 MiB pair with 1 % of it changed in 1 KiB pieces at scattered places. For each
pair: the publisher's patch (publisher/patches.py) against the smallest that zstd makes at any of
--levels (each with the old file as prefix and long-distance matching), and zstd's CPU time for
each; then the signed build's updater, interleaved in each round, over the old executable with
the patch published and without it (the whole download), on moto: wall, peak RSS and CPU time,
the objects fetched, and the median and range of the rounds' ratios of the patch update's wall
and CPU time over the whole download's.
"""

import argparse
import collections
import hashlib
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

from shared import (BUCKET, EXE_NAME, ROOT, Relay, clean_environment, local_s3, moto_server,
                    release_statement, seaweedfs, seaweedfs_server)

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
HEADER = b"#!/bin/sh\nexit 0\n"
OLD_KINDS = {"same": "old same size", "tiny": "old 3 bytes"}
# moto answers each ranged GET with a copy of the whole object; above this it is SeaweedFS.
MOTO_MAX_MIB = 100
MIB = 1024 * 1024


class Failed(Exception):
    """A child that did not do its work: what it said, for the report."""


def measured(argv, cwd, env, timeout):
    """Wall seconds, peak RSS (MiB) and CPU seconds of one child; Failed unless it succeeds."""
    with tempfile.NamedTemporaryFile("r", prefix="bench-time-") as report:
        start = time.perf_counter()
        # A session of its own, so that a child past the timeout ends with all it started.
        child = subprocess.Popen(["/usr/bin/time", "-v", "-o", report.name, *argv], cwd=cwd,
                                 env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 start_new_session=True)
        try:
            _, stderr = child.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            _, stderr = child.communicate()
            raise Failed(f"still running after {timeout:g} s" + said(stderr)) from None
        seconds = time.perf_counter() - start
        text = report.read()
    if child.returncode != 0:
        raise Failed(f"exit status {child.returncode}" + said(stderr))

    def field(label):
        return float(re.search(rf"{re.escape(label)}: ([\d.]+)", text).group(1))

    cpu = field("User time (seconds)") + field("System time (seconds)")
    return seconds, field("Maximum resident set size (kbytes)") / 1024, cpu


def said(stderr):
    """The end of what a child wrote to its standard error, for a report."""
    text = stderr.decode(errors="replace").strip()
    return f":\n{text[-2000:]}" if text else ""


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


def load():
    return "load average " + " ".join(f"{value:.2f}" for value in os.getloadavg())


def write_executable(path, size_mib):
    """A shell script that exits at once, padded with random bytes to size_mib MiB."""
    with open(path, "wb") as file:
        file.write(HEADER)
        for _ in range(size_mib):
            file.write(os.urandom(MIB))


def digest_of(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


class Contender:
    """One child per round: the updater of the build numbered `build` (from 0) over an outdated
    executable of a kind (old None: the plain download), in an environment of its own."""

    def __init__(self, name, build, old, env, arena=False):
        self.name, self.build, self.old, self.env, self.arena = name, build, old, env, arena
        self.runs, self.failures, self.requests = {}, [], []


def build_labels(builds):
    """Each build's folder name; its whole path where two share a name; a number where the same
    folder is given twice (to see how far two runs of one build differ)."""
    names = [Path(folder).name for folder in builds]
    paths = [os.path.relpath(folder) if Path(folder).is_relative_to(Path.cwd()) else folder
             for folder in builds]
    labels = [path if names.count(name) > 1 else name for path, name in zip(paths, names)]
    return [label if labels[:i].count(label) == 0 else f"{label} #{labels[:i].count(label) + 1}"
            for i, label in enumerate(labels)]


def contenders_of(args, env):
    labels = build_labels(args.build)
    made = []
    for number, folder in enumerate(args.build):
        label = f"updater {labels[number]}" if len(labels) > 1 else "updater"
        made += [Contender(f"{label}, {OLD_KINDS[old]}", number, old, dict(env, PYTHONPATH=folder))
                 for old in args.old]
    if args.one_arena:
        made.append(Contender(f"{made[0].name}, one arena", 0, args.old[0],
                              dict(made[0].env, MALLOC_ARENA_MAX="1"), arena=True))
    made.append(Contender(PLAIN_NAME, None, None, env))
    return made


def same_setting(builds, read, what):
    """The setting every build shares; they meet one store under one name with one key pair."""
    values = {folder: read(folder) for folder in builds}
    if len(set(values.values())) > 1:
        sys.exit(f"error: the builds differ in {what}: "
                 + "; ".join(f"{folder}: {value}" for folder, value in values.items()))
    return values[builds[0]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", action="append", default=[],
                        help="a build folder of the module; repeat it to measure several builds "
                             "interleaved, the first as the reference (default: build/native)")
    parser.add_argument("--baseline", action="append", default=[],
                        help="another build folder, measured after those of --build "
                             "(may be repeated)")
    parser.add_argument("--sizes", default="100,400", help="executable sizes in MiB")
    parser.add_argument("--repeat", type=int, default=11,
                        help="interleaved rounds per size (default: %(default)s)")
    parser.add_argument("--old", default="same,tiny",
                        help="the outdated executables, in order: same (as large as the new one), "
                             "tiny (3 bytes) (default: %(default)s)")
    parser.add_argument("--one-arena", action="store_true",
                        help="also the first build's updater with MALLOC_ARENA_MAX=1")
    parser.add_argument("--link-mbps", type=float,
                        help="limit the download direction to this many MB/s")
    parser.add_argument("--store", choices=["auto", "moto", "seaweedfs"], default="auto",
                        help=f"the local S3 server (default: %(default)s, moto up to "
                             f"{MOTO_MAX_MIB} MiB, SeaweedFS above)")
    parser.add_argument("--timeout", type=float, default=300,
                        help="seconds after which a child is ended and counted as failed "
                             "(default: %(default)g)")
    parser.add_argument("--patch", action="store_true",
                        help="a patch update against the whole download, on two pairs of releases")
    parser.add_argument("--pairs", default="real,synthetic",
                        help="with --patch, the pairs: real, synthetic (default: %(default)s)")
    parser.add_argument("--levels", default="1,3,9,19,22",
                        help="with --patch, the zstd levels of the patches compared with the "
                             "publisher's (default: %(default)s)")
    args = parser.parse_args()
    if args.patch:
        sys.exit(patch_bench(args))
    # The children run in other folders.
    args.build = [str(Path(folder).resolve()) for folder in
                  (args.build or [ROOT / "build" / "native"]) + args.baseline]
    for folder in args.build:
        if not list(Path(folder).glob("updater_core*.so")):
            parser.error(f"{folder} holds no built module: run tools/test.sh, or see bench/README.md "
                         "for a build of another commit")
    args.old = args.old.split(",")
    if not args.old or not set(args.old) <= set(OLD_KINDS):
        parser.error(f"--old takes a list of {', '.join(OLD_KINDS)}")
    sizes = [int(size) for size in args.sizes.split(",")]
    endpoint = same_setting(args.build, local_s3.built_endpoint, "the endpoint")

    def store_of(size_mib):
        if args.store != "auto":
            return args.store
        return "moto" if size_mib <= MOTO_MAX_MIB else "seaweedfs"

    started = time.monotonic()
    work = Path(tempfile.mkdtemp(prefix="bench-update-"))
    failed = 0
    print(f"{args.repeat} interleaved rounds over "
          f"{f'a {args.link_mbps:g} MB/s link' if args.link_mbps else 'loopback'}; ranges over the "
          f"rounds of wall time, the child's peak RSS and CPU time, and the server's CPU time "
          f"meanwhile; {load()}", flush=True)
    try:
        for store in dict.fromkeys(store_of(size) for size in sizes):
            if store == "seaweedfs":
                keys = same_setting(args.build, seaweedfs.built_keys, "the module's keys")
                serving = seaweedfs_server(args.build[0], keys)
            else:
                serving = moto_server(args.build[0])
            with serving as server:
                for release, size_mib in enumerate(sizes, start=1):
                    if store_of(size_mib) == store:
                        failed += run(args, server, size_mib, release, store, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"whole run: {time.monotonic() - started:.0f} s; {load()}")
    if failed:
        print(f"{failed} children failed (see above)")
        sys.exit(1)


def run(args, server, size_mib, release, store, work):
    """Publishes one size on the server (tests/s3_servers.py) and measures the contenders against
    it. Returns the number of children that failed."""
    if server.store:
        pid = server.store.processes["server"].pid
        server_cpu, keys = (lambda: cpu_seconds(pid)), server.store.module_keys
    else:
        # moto serves from a thread of this process, and takes any keys.
        server_cpu, keys = time.process_time, ("k", "s")
    client, request_log = server.client, server.request_log
    relay = Relay(server.port, rate=args.link_mbps * 1e6) if args.link_mbps else None
    env = clean_environment(http_proxy=relay.proxy if relay else server.proxy,
                            ENDPOINT=server.endpoint, KEY_ID=keys[0], SECRET=keys[1])
    contenders = contenders_of(args, env)
    try:
        exe = work / EXE_NAME
        write_executable(exe, size_mib)
        client.upload_file(str(exe), BUCKET, EXE_NAME)
        digest = digest_of(exe)
        statement = release_statement.make(local_s3.test_signing_key(), digest, exe.stat().st_size,
                                           release)
        client.put_object(Bucket=BUCKET, Key="exe_hash.sig", Body=statement)
        client.put_object(Bucket=BUCKET, Key="exe_hash", Body=digest.encode())
        exe.unlink()
        olds = {"tiny": work / "old-tiny"}
        olds["tiny"].write_bytes(b"old")
        if "same" in args.old:
            olds["same"] = work / "old-same"
            # Exactly the new one's size: only the bytes tell them apart.
            write_executable(olds["same"], size_mib)

        print(f"{size_mib} MiB from {store}: {load()}", flush=True)
        for round_ in range(args.repeat):
            shift = round_ % len(contenders)
            for contender in contenders[shift:] + contenders[:shift]:
                measure(contender, round_, work, olds, digest, server_cpu, request_log,
                        args.timeout)
            failures = sum(len(c.failures) for c in contenders)
            print(f"  round {round_ + 1}/{args.repeat} done"
                  f"{f', {failures} children failed so far' if failures else ''}; {load()}",
                  file=sys.stderr, flush=True)
        report(contenders, args.repeat)
        print(f"  {load()}", flush=True)
        for name in ("old-same", "old-tiny"):
            (work / name).unlink(missing_ok=True)
        return sum(len(c.failures) for c in contenders)
    finally:
        if relay:
            relay.close()


def measure(contender, round_, work, olds, digest, server_cpu, request_log, timeout):
    """One child of a contender in one round, in a new bot folder."""
    bots = work / "bots"
    shutil.rmtree(bots, ignore_errors=True)
    (bots / "bin").mkdir(parents=True)
    if contender.old:
        # A copy in the page cache, as the executable of a bot that ran lately would be.
        shutil.copyfile(olds[contender.old], bots / EXE_NAME)
    logged = len(request_log) if request_log is not None else 0
    before = server_cpu()
    try:
        if contender.old:
            figures = measured([sys.executable, "-c", UPDATER], bots / "bin", contender.env,
                               timeout)
        else:
            figures = measured([sys.executable, "-c", PLAIN], bots, contender.env, timeout)
        # Taken before this process hashes the result: with moto, its CPU time is the server's.
        served = server_cpu() - before
        if contender.old and digest_of(bots / EXE_NAME) != digest:
            raise Failed("the executable installed is not the one published")
    except Failed as failure:
        contender.failures.append((round_, str(failure)))
        return
    contender.runs[round_] = (*figures, served)
    if request_log is not None:
        contender.requests.append(requests_made(request_log[logged:]))


def ratios(contender, reference, index):
    """'1.234x (1.10–1.40)': the median and range over the rounds both have of the contender's
    figure `index` over the reference's in the same round; None when no round has both."""
    found = [contender.runs[r][index] / reference.runs[r][index]
             for r in sorted(contender.runs.keys() & reference.runs.keys())]
    if not found:
        return None
    return f"{statistics.median(found):.3f}x ({min(found):.2f}–{max(found):.2f})"


def report(contenders, repeat):
    width = max(len(c.name) for c in contenders)
    for contender in contenders:
        runs = list(contender.runs.values())
        failed = (f", {len(contender.failures)} of {repeat} rounds failed" if contender.failures
                  else "")
        if not runs:
            print(f"  {contender.name:>{width}}: all {repeat} rounds failed")
            continue
        wall, peak, cpu, served = (
            f"{min(values):.{digits}f}–{max(values):.{digits}f}"
            for values, digits in zip(zip(*runs), (2, 1, 2, 2)))
        print(f"  {contender.name:>{width}}: {wall} s, peak {peak} MiB, CPU {cpu} s, "
              f"server CPU {served} s{failed}")
    for contender in contenders:
        if contender.requests:
            # The same in every round, as a rule; otherwise each that differs.
            made = " | ".join(dict.fromkeys(contender.requests))
            print(f"  {contender.name:>{width}}: requests: {made}")
    # Within each round, where the load fell on all contenders alike; then the median and the
    # range.
    plain = contenders[-1]
    for contender in contenders[:-1]:
        references = [plain]
        if contender.build and not contender.arena:
            references += [other for other in contenders
                           if other.build == 0 and other.old == contender.old and not other.arena]
        for reference in references:
            wall, cpu = ratios(contender, reference, 0), ratios(contender, reference, 2)
            print(f"  {contender.name:>{width}} over {reference.name}, median (range) of the "
                  "rounds: "
                  + (f"wall {wall}, CPU {cpu}" if wall else "no round without a failure"))
    # What hashing the outdated executable costs: the same build's two kinds, within each round.
    for same in contenders:
        tiny = [c for c in contenders if c.build == same.build and c.old == "tiny" and not c.arena]
        if same.old != "same" or same.arena or not tiny:
            continue
        rounds = sorted(same.runs.keys() & tiny[0].runs.keys())
        if rounds:
            wall, cpu = ([same.runs[r][i] - tiny[0].runs[r][i] for r in rounds] for i in (0, 2))
            print(f"  {same.name:>{width}} less {OLD_KINDS['tiny']}, median (range) of the rounds: "
                  + ", ".join(f"{label} {statistics.median(values):.2f} s "
                              f"({min(values):.2f}–{max(values):.2f})"
                              for label, values in (("wall", wall), ("CPU", cpu))))
    for contender in contenders:
        for round_, failure in contender.failures[:1]:
            print(f"  {contender.name}: round {round_ + 1} failed: {failure.strip()}")


def real_pair(work):
    """Two patch releases of a real Windows program: the Rust extension (a DLL) of cryptography
    44.0.0 and 44.0.1 for 64-bit Windows, from PyPI's wheels."""
    import zipfile
    wheels = work / "wheels"
    found = []
    for version in ("44.0.0", "44.0.1"):
        subprocess.run([sys.executable, "-m", "pip", "download", "--quiet", "--no-deps",
                        "--only-binary=:all:", "--platform", "win_amd64", "--python-version", "3.13",
                        "--disable-pip-version-check", f"cryptography=={version}", "-d", str(wheels)],
                       check=True, stderr=subprocess.DEVNULL)
        wheel = zipfile.ZipFile(next(wheels.glob(f"cryptography-{version}-*.whl")))
        program = wheel.read(next(name for name in wheel.namelist() if name.endswith("_rust.pyd")))
        # Behind a line that lets the stand-in bot start here (and end at once).
        found.append(HEADER + program)
    return "cryptography's _rust.pyd 44.0.0 to 44.0.1", *found


def synthetic_pair(size_mib=100, changed=0.01, piece=1024):
    """Random bytes, and the same with `changed` of them new, in pieces at scattered places."""
    import random
    old = bytearray(os.urandom(size_mib * MIB))
    new = bytearray(old)
    for _ in range(int(len(old) * changed / piece)):
        at = random.randrange(len(old) - piece)
        new[at:at + piece] = os.urandom(piece)
    return f"synthetic {size_mib} MiB, {changed:.0%} changed", HEADER + bytes(old), HEADER + bytes(new)


def patch_bench(args):
    """--patch: the patches' sizes, then the patch update against the whole download."""
    import patches
    build = str(Path(args.build[0] if args.build else ROOT / "build" / "signed").resolve())
    levels = [int(level) for level in args.levels.split(",")]
    work = Path(tempfile.mkdtemp(prefix="bench-patch-"))
    failed = 0
    try:
        with moto_server(build) as server:
            makers = {"real": lambda: real_pair(work), "synthetic": synthetic_pair}
            for pair in args.pairs.split(","):
                name, old, new = makers[pair]()
                failed += patch_pair(args, server, build, levels, work, name, old, new, patches)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


def patch_pair(args, server, build, levels, work, name, old, new, patches):
    print(f"{name}: {len(old)} to {len(new)} bytes; {load()}", flush=True)
    made = {}
    for level in levels:
        cpu = time.process_time()
        made[level] = len(patches.make(old, new, level)), time.process_time() - cpu
    cpu = time.process_time()
    patch = patches.make(old, new)
    cpu = time.process_time() - cpu
    best = min(size for size, _ in made.values())
    print("  zstd, level: patch bytes (CPU s): "
          + ", ".join(f"{level}: {size} ({seconds:.2f})" for level, (size, seconds) in made.items()))
    print(f"  the publisher's patch (levels {patches.LEVELS}): {len(patch)} bytes ({cpu:.2f} s), "
          f"{len(patch) / best:.3f} x the smallest, {len(patch) / len(new):.4f} x the release")
    client, digest = server.client, hashlib.sha256(new).hexdigest()
    client.put_object(Bucket=BUCKET, Key=EXE_NAME, Body=new)
    client.put_object(Bucket=BUCKET, Key="exe_hash.sig", Body=release_statement.make(
        local_s3.test_signing_key(), digest, len(new), 1))
    client.put_object(Bucket=BUCKET, Key="exe_hash", Body=digest.encode())
    patch_key = patches.patch_object(hashlib.sha256(old).hexdigest())
    (work / "old").write_bytes(old)
    env = clean_environment(http_proxy=server.proxy, PYTHONPATH=build)
    contenders = [Contender("patch update", 0, "patch", env),
                  Contender("whole download", 0, "whole", env)]
    for round_ in range(args.repeat):
        shift = round_ % len(contenders)
        for contender in contenders[shift:] + contenders[:shift]:
            if contender.old == "patch":
                client.put_object(Bucket=BUCKET, Key=patch_key, Body=patch)
            else:
                client.delete_object(Bucket=BUCKET, Key=patch_key)
            measure(contender, round_, work, {contender.old: work / "old"}, digest, time.process_time,
                    server.request_log, args.timeout)
    width = max(len(c.name) for c in contenders)
    for contender in contenders:
        runs = list(contender.runs.values())
        if runs:
            wall, peak, cpu, _ = (f"{min(values):.{digits}f}–{max(values):.{digits}f}"
                                  for values, digits in zip(zip(*runs), (2, 1, 2, 2)))
            wire = len(patch) if contender.old == "patch" else len(new)
            print(f"  {contender.name:>{width}}: {wire} bytes on the wire, {wall} s, peak {peak} MiB, "
                  f"CPU {cpu} s; requests: {' | '.join(dict.fromkeys(contender.requests))}")
        for round_, failure in contender.failures[:1]:
            print(f"  {contender.name}: round {round_ + 1} failed: {failure.strip()}")
    wall, cpu = ratios(contenders[0], contenders[1], 0), ratios(contenders[0], contenders[1], 2)
    print(f"  patch update over whole download, median (range) of the rounds: wall {wall}, CPU {cpu}",
          flush=True)
    (work / "old").unlink()
    return sum(len(c.failures) for c in contenders)


if __name__ == "__main__":
    main()
