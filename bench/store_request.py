"""One request to the store through the module, s3_file_reader("exe_hash"), of two builds.

    .venv/bin/python bench/store_request.py --baseline DIR [--build build/native] [--calls 300] [--rounds 11]
    .venv/bin/python bench/store_request.py --baseline DIR --callgrind [--calls 50]

Times: each build's module is loaded (bench/module.py, the updater not run) in a child
interpreter of its own, started once, in a bot folder of its own, which reaches moto's server
(in a thread of this process, on 127.0.0.1) as the tests' children do, through it as the HTTP
proxy. After a warm-up (the connection made, the client's first-call work done), the children
take turns, a round at a time in a rotating order: each makes --calls calls of
s3_file_reader("exe_hash") in a row, each checked against the object, and reports every call's
wall time and the process's CPU time (all its threads, the watch's too) over the round. Per
round: each build's median wall time per call, its CPU time per call, and their difference from
the baseline in the same round; reported as the median and the range over the rounds.

Instructions (--callgrind): each build's child runs alone under valgrind's callgrind, once with
--calls and once with twice as many, after the same warm-up; the difference, divided by the calls
it adds, is one call's count, the start-up, the import and the warm-up cancelled out. callgrind
counts user-space instructions only: the kernel's share of a thread's start (clone, its stack)
is not in it, and it runs the threads one at a time.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
WARM_UP = 20
CONTENT = b"0" * 64  # what exe_hash holds here: a hex digest's length


def child(args):
    """One build's module in this process: on each line of standard input (a number of calls),
    that many calls; answers with one line: the CPU seconds, then each call's wall seconds."""
    from module import load

    reader = load(args.build).s3_file_reader
    for _ in range(WARM_UP):
        assert reader("exe_hash") == CONTENT
    if args.calls_once:
        for _ in range(args.calls_once):
            reader("exe_hash")
        return
    print("ready", flush=True)
    for line in sys.stdin:
        calls = int(line)
        walls = []
        cpu = time.process_time()
        for _ in range(calls):
            start = time.perf_counter()
            content = reader("exe_hash")
            walls.append(time.perf_counter() - start)
            assert content == CONTENT, content
        cpu = time.process_time() - cpu
        print(cpu, *walls, flush=True)


def contenders(args):
    """name -> build folder; the baseline first."""
    return {"baseline": args.baseline, "build": args.build}


def child_argv(build, *extra):
    return [sys.executable, str(HERE / "store_request.py"), "--child", "--build", build, *extra]


def spread(values, scale=1e6, digits=0):
    """'median (lowest–highest)' of values, scaled (to µs by default)."""
    return (f"{statistics.median(values) * scale:.{digits}f} "
            f"({min(values) * scale:.{digits}f}–{max(values) * scale:.{digits}f})")


def timed(args, env, work):
    builds = contenders(args)
    names = list(builds)
    children = {}
    try:
        for name, build in builds.items():
            bots = work / name / "bin"
            bots.mkdir(parents=True)
            children[name] = subprocess.Popen(child_argv(build), cwd=bots, env=env, text=True,
                                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            if children[name].stdout.readline().strip() != "ready":
                raise RuntimeError(f"the child of {build} did not start")
        walls = {name: [] for name in names}
        cpus = {name: [] for name in names}
        for round_ in range(args.rounds):
            shift = round_ % len(names)
            for name in names[shift:] + names[:shift]:
                children[name].stdin.write(f"{args.calls}\n")
                children[name].stdin.flush()
                answer = children[name].stdout.readline().split()
                if not answer:
                    raise RuntimeError(f"the child of {builds[name]} ended")
                cpu, *calls = map(float, answer)
                walls[name].append(statistics.median(calls))
                cpus[name].append(cpu / args.calls)
    finally:
        for process in children.values():
            process.stdin.close()
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    baseline = names[0]
    print(f"baseline: {args.baseline}\nbuild: {args.build}")
    print(f"{args.rounds} interleaved rounds of {args.calls} calls; µs per call, median "
          f"(range) over the rounds; load average {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    print(f"{'':>24}  {'wall (median of the round)':>26}  {'CPU':>18}  {'wall − baseline':>18}  "
          f"{'CPU − baseline':>18}")
    for name in names:
        more_wall = [w - b for w, b in zip(walls[name], walls[baseline])]
        more_cpu = [c - b for c, b in zip(cpus[name], cpus[baseline])]
        print(f"{name:>24}  {spread(walls[name]):>26}  {spread(cpus[name]):>18}  "
              f"{spread(more_wall) if name != baseline else '':>18}  "
              f"{spread(more_cpu) if name != baseline else '':>18}")


def instructions(build, calls, env, work):
    """Instructions callgrind counts for a child that makes `calls` calls after the warm-up."""
    bots = work / f"callgrind-{calls}" / "bin"
    bots.mkdir(parents=True)
    argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
            *child_argv(build, "--calls-once", str(calls))]
    done = subprocess.run(argv, cwd=bots, env=dict(env, PYTHONHASHSEED="0"), capture_output=True,
                          text=True)
    shutil.rmtree(bots.parent)
    found = re.search(r"Collected : (\d+)", done.stderr)
    if done.returncode != 0 or not found:
        raise RuntimeError(f"{build} under callgrind failed:\n{done.stderr[-2000:]}")
    return int(found.group(1))


def counted(args, env, work):
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed (apt-get install valgrind)")
    print(f"baseline: {args.baseline}\nbuild: {args.build}")
    print(f"callgrind: instructions per call, from {args.calls} and {2 * args.calls} calls")
    counts = {}
    for name, build in contenders(args).items():
        few, more = (instructions(build, calls, env, work) for calls in (args.calls, 2 * args.calls))
        counts[name] = (more - few) / args.calls
    baseline = next(iter(counts))
    for name, count in counts.items():
        more = f", {count - counts[baseline]:+.0f} over the baseline" if name != baseline else ""
        print(f"{name:>24}: {count:.0f}{more}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=str(HERE.parent / "build" / "native"),
                        help="the build folder of the module measured (default: build/native)")
    parser.add_argument("--baseline", help="the build folder of the module to compare with (required)")
    parser.add_argument("--calls", type=int,
                        help="calls per child and round (default 300), or with --callgrind the "
                             "smaller of the two runs' (default 50)")
    parser.add_argument("--rounds", type=int, default=11,
                        help="interleaved rounds of the timing (default: %(default)s)")
    parser.add_argument("--callgrind", action="store_true",
                        help="count instructions per call instead of timing")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--calls-once", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.build = str(Path(args.build).resolve())
    if args.child:
        return child(args)
    if not args.baseline:
        parser.error("--baseline DIR is required: the build to compare with")
    args.baseline = str(Path(args.baseline).resolve())
    args.calls = args.calls or (50 if args.callgrind else 300)

    from shared import BUCKET, clean_environment, moto_server

    work = Path(tempfile.mkdtemp(prefix="bench-store-request-"))
    try:
        with moto_server(args.build) as server:
            server.client.put_object(Bucket=BUCKET, Key="exe_hash", Body=CONTENT)
            env = clean_environment(http_proxy=f"http://127.0.0.1:{server.port}")
            (counted if args.callgrind else timed)(args, env, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
