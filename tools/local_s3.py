"""The local S3 server of the tests, benchmarks and demo, and the endpoint a build was made with.

    with local_s3.serving(log_path) as port: ...

starts `publisher.py serve` in a child process on a port the server picks itself, waits until
the bucket is there, and ends the child with the block. From a shell:

    python tools/local_s3.py endpoint BUILD   prints the endpoint BUILD was configured with
    python tools/local_s3.py test-public-key  prints the public key of TEST_SIGNING_SEED
    python tools/local_s3.py serve LOG        prints the port once the bucket is there, then
                                              serves until stopped (SIGTERM, SIGINT or SIGHUP)
"""

from __future__ import annotations

import contextlib
import ctypes
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

PUBLISHER = Path(__file__).resolve().parent / "publisher.py"
READY = re.compile(rb"^Serving bucket \S+ on http://\S+:(\d+);", re.M)

# The release signing key of the builds made here (tools/test.sh builds the native module with
# its public key, and the tests publish signed with it): a seed known to everyone, so never the
# key of a real release.
TEST_SIGNING_SEED = bytes.fromhex("1141b5f8032a311a54220a60a8bc6bb4b1aab5e1532ac467206ab1d4e2e875e2")


def test_signing_key():
    import nacl.signing

    return nacl.signing.SigningKey(TEST_SIGNING_SEED)


def built_endpoint(build: Path) -> str:
    """The endpoint constant the build in `build` was configured with."""
    cache = (Path(build) / "CMakeCache.txt").read_text()
    return re.search(r"^UPDATER_ENDPOINT_URL:STRING=(.*)$", cache, re.M).group(1)


def die_with_parent():
    """Run in a child before exec: it gets SIGTERM if its parent dies first."""
    if sys.platform.startswith("linux"):
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


@contextlib.contextmanager
def serving(log_path: Path, *, timeout=60, **popen):
    """The server's port; its output (the request log) goes to log_path."""
    popen.setdefault("preexec_fn", die_with_parent)
    with open(log_path, "wb") as log:
        process = subprocess.Popen(
            [sys.executable, str(PUBLISHER), "serve", "--port", "0"],
            stdout=log, stderr=subprocess.STDOUT, **popen)
    try:
        deadline = time.monotonic() + timeout
        while not (ready := READY.search(Path(log_path).read_bytes())):
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the S3 server did not start:\n" + Path(log_path).read_text())
            time.sleep(0.1)
        yield int(ready[1])
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main(argv):
    if "-h" in argv or "--help" in argv:
        print(__doc__.rstrip())
        return 0
    if len(argv) == 2 and argv[0] == "endpoint":
        print(built_endpoint(Path(argv[1])))
        return 0
    if argv == ["test-public-key"]:
        print(test_signing_key().verify_key.encode().hex())
        return 0
    if len(argv) == 2 and argv[0] == "serve":
        # A signal ends the wait below as an exception, so that the server goes too.
        for number in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.default_int_handler)
        try:
            with serving(Path(argv[1])) as port:
                print(port, flush=True)
                signal.pause()
        except KeyboardInterrupt:
            pass
        except RuntimeError as error:
            print(error, file=sys.stderr)
            return 1
        return 0
    print("usage:\n" + __doc__.split("\n\n")[3].rstrip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
