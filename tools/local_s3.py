"""The local S3 server of the tests and benchmarks, and the endpoint a build was made with.

    with local_s3.serving(log_path) as port: ...

starts `publisher.py serve` in a child process on a free loopback port, waits until the bucket
is there, and ends the child with the block.
"""

from __future__ import annotations

import contextlib
import re
import socket
import subprocess
import sys
import time
from pathlib import Path

PUBLISHER = Path(__file__).resolve().parent / "publisher.py"


def built_endpoint(build: Path) -> str:
    """The endpoint constant the build in `build` was configured with."""
    cache = (Path(build) / "CMakeCache.txt").read_text()
    return re.search(r"^UPDATER_ENDPOINT_URL:STRING=(.*)$", cache, re.M).group(1)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def serving(log_path: Path, *, timeout=60, **popen):
    """The server's port; its output (the request log) goes to log_path."""
    port = free_port()
    with open(log_path, "wb") as log:
        process = subprocess.Popen(
            [sys.executable, str(PUBLISHER), "serve", "--port", str(port)],
            stdout=log, stderr=subprocess.STDOUT, **popen)
    try:
        deadline = time.monotonic() + timeout
        while b"Serving bucket" not in Path(log_path).read_bytes():
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the S3 server did not start:\n" + Path(log_path).read_text())
            time.sleep(0.1)
        yield port
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
