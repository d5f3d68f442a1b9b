"""A whole update from the local server against a plain boto3 download of the same object.

    .venv/bin/python bench/update.py [--build build/native] [--sizes 100,400] [--repeat 3]

For each size (MiB) an executable is published to a local S3 server on 127.0.0.1, then two
fresh interpreters run, each timed by wall clock and measured for peak resident memory:
  - the updater: `import updater_core` in a bin subdirectory holding an outdated executable
    (check, download with the progress bar, replacement, start of the bot; its 3-second wait
    after the start is skipped);
  - the limit: boto3's download_fileobj of the same object into a file, nothing else.
The best of --repeat runs counts.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import local_s3  # noqa: E402

UPDATER = ("import time; sleep = time.sleep; "
           "time.sleep = lambda s: None if s == 3 else sleep(s); import updater_core")
PLAIN = """
import boto3, os
client = boto3.session.Session().client(
    service_name="s3", aws_access_key_id="k", aws_secret_access_key="s",
    endpoint_url=os.environ["ENDPOINT"], verify=False)
with open("kelvo_bot.temp", "wb") as file:
    client.download_fileobj("kelvo-bot", "kelvo_bot.exe", file)
"""


def measured(argv, cwd, env):
    """(seconds, peak RSS in MiB) of one child process, which must succeed."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise RuntimeError(f"{argv} failed with {child.returncode}")
    return seconds, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build" / "native"))
    parser.add_argument("--sizes", default="100,400")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    endpoint = local_s3.built_endpoint(args.build)
    work = Path(tempfile.mkdtemp(prefix="bench-update-"))
    try:
        with local_s3.serving(work / "server.log") as port:
            run(args, endpoint, port, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(args, endpoint, port, work):
    """Publishes each size and measures both contenders against it."""
    env = dict(os.environ, http_proxy=f"http://127.0.0.1:{port}", ENDPOINT=endpoint,
               PYTHONPATH=args.build, AWS_CONFIG_FILE=os.devnull,
               AWS_SHARED_CREDENTIALS_FILE=os.devnull, AWS_EC2_METADATA_DISABLED="true")
    env.pop("no_proxy", None)
    env.pop("NO_PROXY", None)
    import boto3
    from botocore.config import Config
    client = boto3.session.Session().client(
        "s3", endpoint_url=endpoint, region_name="us-east-1", aws_access_key_id="k",
        aws_secret_access_key="s", config=Config(proxies={"http": env["http_proxy"]}))

    print(f"best of {args.repeat}; wall time of the whole process, peak RSS")
    for size_mib in (int(s) for s in args.sizes.split(",")):
        exe = work / "kelvo_bot.exe"
        with open(exe, "wb") as file:
            file.write(b"#!/bin/sh\nexit 0\n")
            for _ in range(size_mib):
                file.write(os.urandom(1024 * 1024))
        client.upload_file(str(exe), "kelvo-bot", "kelvo_bot.exe")
        digest = hashlib.sha256(exe.read_bytes()).hexdigest()
        client.put_object(Bucket="kelvo-bot", Key="exe_hash", Body=digest.encode())

        updater, plain = [], []
        for _ in range(args.repeat):
            bots = work / "bots"
            shutil.rmtree(bots, ignore_errors=True)
            (bots / "bin").mkdir(parents=True)
            (bots / "kelvo_bot.exe").write_bytes(b"old")
            updater.append(measured([sys.executable, "-c", UPDATER], bots / "bin", env))
            assert hashlib.sha256((bots / "kelvo_bot.exe").read_bytes()).hexdigest() == digest
            plain.append(measured([sys.executable, "-c", PLAIN], bots, env))
        (u_time, u_rss), (p_time, p_rss) = min(updater), min(plain)
        print(f"{size_mib:5d} MiB  updater {u_time:6.2f} s {u_rss:6.1f} MiB   "
              f"plain download_fileobj {p_time:6.2f} s {p_rss:6.1f} MiB   "
              f"ratio {u_time / p_time:4.2f}")
        exe.unlink()


if __name__ == "__main__":
    main()
