"""The local S3 server of the tests, benchmarks, demo and `publisher.py serve`, and the endpoint a
build was made with.

    with local_s3.serving() as server: ...   server.port, server.url, server.requests (moto's
                                             request log)

runs moto's ThreadedMotoServer in a thread of this process on a free port of 127.0.0.1, with the
bucket, until the block ends. From a shell:

    python tools/local_s3.py endpoint BUILD   prints the endpoint BUILD was configured with
    python tools/local_s3.py test-public-key  prints the public key of TEST_SIGNING_SEED
    python tools/local_s3.py test-spare-public-key  prints the public key of TEST_SPARE_SEED
    python tools/local_s3.py serve LOG        prints the port once the bucket is there, then
                                              serves until stopped (SIGTERM, SIGINT or SIGHUP),
                                              its request log going to LOG
"""

from __future__ import annotations

import contextlib
import logging
import os
import signal
import sys
from pathlib import Path

import project
from project import BUCKET

# The release signing key of the builds made here (tools/test.sh builds the native module with
# its public key, and the tests publish signed with it): a seed known to everyone, so never the
# key of a real release.
TEST_SIGNING_SEED = bytes.fromhex("1141b5f8032a311a54220a60a8bc6bb4b1aab5e1532ac467206ab1d4e2e875e2")
# The spare key of those builds, which may take over from the release key: as public.
TEST_SPARE_SEED = bytes.fromhex("5be0f9d87a2c3e4b1f60a7c9d2e8b3f4a1c6d0e9f8b7a6c5d4e3f2a1b0c9d8e7")


def test_signing_key(seed=TEST_SIGNING_SEED):
    import nacl.signing

    return nacl.signing.SigningKey(seed)


def test_spare_key():
    return test_signing_key(TEST_SPARE_SEED)


def built_endpoint(build: Path) -> str:
    """The endpoint constant the build in `build` was configured with."""
    return project.build_setting(build, "UPDATER_ENDPOINT_URL")


class RequestLog(logging.Handler):
    """The request lines werkzeug logs for moto's server ('"GET http://host/key HTTP/1.1" 200 -')."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


@contextlib.contextmanager
def serving(log: logging.Handler | None = None, host="127.0.0.1", port=0):
    """moto's S3 server on `host` and `port` (0: a free one) with the bucket; `log` (a RequestLog
    unless given) receives werkzeug's request log. OSError when it cannot listen there."""
    # moto must read the bucket from the path even for a dotted host name (a module's endpoint,
    # reached through the server as a proxy), or it takes the host's first label for the bucket.
    # moto reads the setting from the environment once, when it is first imported, and a caller
    # may have imported it before (publisher.py's dependency check does): so the setting is put
    # in the environment for a moto imported from now on, and in moto's settings for one
    # imported already.
    os.environ["S3_IGNORE_SUBDOMAIN_BUCKETNAME"] = "true"
    import boto3
    from moto import settings
    from moto.server import ThreadedMotoServer

    settings.S3_IGNORE_SUBDOMAIN_BUCKETNAME = True

    class Server(ThreadedMotoServer):
        # When the server cannot listen (werkzeug says why and exits its thread), start()
        # would wait for it forever: note the failure and end the wait.
        failed = False

        def _server_entry(self):
            try:
                super()._server_entry()
            except (OSError, SystemExit):
                self.failed = True
                self._server_ready_event.set()

    log = log or RequestLog()
    werkzeug = logging.getLogger("werkzeug")
    werkzeug.setLevel(logging.INFO)
    werkzeug.addHandler(log)
    server = Server(ip_address=host, port=port, verbose=False)
    server.start()
    try:
        if server.failed:
            raise OSError(f"cannot listen on {host}:{port}")
        host, server.port = server.get_host_and_port()
        server.url = f"http://[{host}]:{server.port}" if ":" in host else f"http://{host}:{server.port}"
        server.requests = getattr(log, "lines", None)
        boto3.session.Session().client(
            "s3", endpoint_url=server.url, region_name="us-east-1",
            aws_access_key_id="local", aws_secret_access_key="local").create_bucket(Bucket=BUCKET)
        yield server
    finally:
        if not server.failed:
            server.stop()
        werkzeug.removeHandler(log)


def main(argv):
    if "-h" in argv or "--help" in argv:
        print(__doc__.rstrip())
        return 0
    if len(argv) == 2 and argv[0] == "endpoint":
        print(built_endpoint(Path(argv[1])))
        return 0
    if argv in (["test-public-key"], ["test-spare-public-key"]):
        key = test_signing_key() if argv[0] == "test-public-key" else test_spare_key()
        print(key.verify_key.encode().hex())
        return 0
    if len(argv) == 2 and argv[0] == "serve":
        # A signal ends the wait below as an exception, so that the server goes too.
        for number in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.default_int_handler)
        try:
            with serving(logging.FileHandler(argv[1])) as server:
                print(server.port, flush=True)
                signal.pause()
        except KeyboardInterrupt:
            pass
        return 0
    print("usage:\n" + __doc__.split("\n\n")[3].rstrip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
