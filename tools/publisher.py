"""Publishes kelvo_bot.exe for the updater, checks what is published, and serves a local bucket.

    python tools/publisher.py publish PATH     upload the executable, then its digest; read both back
    python tools/publisher.py verify           download the executable and check the published digest
    python tools/publisher.py serve            a local S3 server on 127.0.0.1 with the bucket

The updater downloads the executable whenever the object "exe_hash" is not, byte for byte, the
64 lower-case hexadecimal digits of the executable's SHA-256: one stray line end makes every
client download the bot on every start. This tool writes exactly that form and says what is
wrong with any other.

The endpoint comes from --endpoint or KELVO_ENDPOINT_URL; credentials from --access-key-id and
--secret-access-key, or the standard AWS variables and configuration files; --proxy (or the
standard http_proxy variable) reaches the endpoint through an HTTP proxy.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys
import tempfile
import threading

BUCKET = "kelvo-bot"
EXE_KEY = "kelvo_bot.exe"
HASH_KEY = "exe_hash"
HEX_DIGITS = set("0123456789abcdef")


class PublishError(Exception):
    """A failure the user can act on; its text says what to do."""


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as file:
        while chunk := file.read(1024 * 1024):
            h.update(chunk)
    return h.hexdigest()


def make_client(args):
    import boto3
    from botocore.config import Config

    proxy = args.proxy or os.environ.get("http_proxy") or os.environ.get("HTTP_PROXY")
    endpoint = args.endpoint or os.environ.get("KELVO_ENDPOINT_URL")
    if not endpoint:
        raise PublishError("no endpoint: pass --endpoint URL or set KELVO_ENDPOINT_URL")
    return boto3.session.Session().client(
        "s3",
        endpoint_url=endpoint,
        aws_access_key_id=args.access_key_id,
        aws_secret_access_key=args.secret_access_key,
        region_name=args.region,
        config=Config(proxies={"http": proxy} if proxy else None),
    )


class Progress:
    """A console bar for a transfer; the storage client calls it from its worker threads."""

    def __init__(self, total, label):
        import progressbar

        widgets = [label, " ", progressbar.Percentage(), " ",
                   progressbar.Bar(marker="#", left="[", right="]"), " ",
                   progressbar.ETA(), " ", progressbar.FileTransferSpeed()]
        self.total = max(total, 1)
        # The stream is named here: the library's default is the stderr of its import.
        self.bar = progressbar.ProgressBar(widgets=widgets, maxval=self.total, fd=sys.stderr).start()
        self.done = 0
        self.lock = threading.Lock()

    def __call__(self, count):
        with self.lock:
            self.done += count
            self.bar.update(min(max(self.done, 0), self.total))

    def finish(self):
        self.bar.finish()


def diagnose(published: bytes, digest: str) -> str | None:
    """None when `published` is exactly the digest; otherwise what is wrong with it."""
    if published == digest.encode():
        return None
    text = published.decode("ascii", errors="replace")
    if published.rstrip(b"\r\n") == digest.encode():
        return "exe_hash ends with a line end; it must be the 64 digits alone"
    if published.strip() == digest.encode():
        return "exe_hash has spaces or line ends around the digest; it must be the 64 digits alone"
    if text.lower() == digest:
        return "exe_hash is in upper case; it must be lower-case hexadecimal"
    if len(published) != 64:
        return f"exe_hash is {len(published)} bytes long, not 64 hexadecimal digits"
    if not set(text) <= HEX_DIGITS:
        return "exe_hash holds characters that are not lower-case hexadecimal digits"
    return "exe_hash is the digest of another file: the published executable has changed since"


def publish(args):
    path = args.path
    if not os.path.isfile(path):
        raise PublishError(f"{path} is not a file")
    digest = file_digest(path)
    size = os.path.getsize(path)
    client = make_client(args)

    # The executable goes first and its digest last. A client that checks in between compares
    # with the old digest: with the old executable it finds them identical and keeps it; a
    # client that downloads then gets the new executable, and the next check finds it current.
    progress = Progress(size, "Uploading")
    try:
        client.upload_file(path, BUCKET, EXE_KEY, Callback=progress)
    except Exception as error:
        raise PublishError(f"upload of {EXE_KEY} failed, nothing was published: {error}") from error
    progress.finish()
    try:
        client.put_object(Bucket=BUCKET, Key=HASH_KEY, Body=digest.encode("ascii"))
    except Exception as error:
        raise PublishError(
            f"{EXE_KEY} was uploaded but {HASH_KEY} was not: clients keep their executable until "
            f"the digest is published; run publish again ({error})") from error

    published_size = client.head_object(Bucket=BUCKET, Key=EXE_KEY)["ContentLength"]
    published_digest = client.get_object(Bucket=BUCKET, Key=HASH_KEY)["Body"].read()
    if published_size != size:
        raise PublishError(f"{EXE_KEY} holds {published_size} bytes, not {size}: publish again")
    problem = diagnose(published_digest, digest)
    if problem:
        raise PublishError(problem)
    print(f"Published {path}: {size} bytes, sha256 {digest}")
    return 0


def verify(args):
    client = make_client(args)
    try:
        published = client.get_object(Bucket=BUCKET, Key=HASH_KEY)["Body"].read()
        size = client.head_object(Bucket=BUCKET, Key=EXE_KEY)["ContentLength"]
    except Exception as error:
        raise PublishError(f"cannot read the published objects: {error}") from error
    with tempfile.TemporaryFile() as file:
        progress = Progress(size, "Downloading")
        client.download_fileobj(BUCKET, EXE_KEY, file, Callback=progress)
        progress.finish()
        file.seek(0)
        digest = hashlib.file_digest(file, "sha256").hexdigest()
    problem = diagnose(published, digest)
    if problem:
        print(f"NOT OK: {problem}.\n  executable sha256: {digest}\n  exe_hash holds:    {published!r}")
        return 1
    print(f"OK: {EXE_KEY} ({size} bytes) matches exe_hash {digest}")
    return 0


def serve(args):
    if args.engine == "seaweedfs":
        import seaweedfs  # beside this file
        return seaweedfs.main(["--host", args.host, "--port", str(args.port)])
    # moto must read the bucket from the path even for a dotted host name.
    os.environ["S3_IGNORE_SUBDOMAIN_BUCKETNAME"] = "true"
    import boto3
    from moto.server import ThreadedMotoServer

    if args.host not in ("127.0.0.1", "localhost", "::1"):
        raise PublishError("serve listens on the loopback interface only")
    server = ThreadedMotoServer(ip_address=args.host, port=args.port, verbose=False)
    server.start()
    try:
        client = boto3.session.Session().client(
            "s3", endpoint_url=f"http://{args.host}:{args.port}", region_name="us-east-1",
            aws_access_key_id="local", aws_secret_access_key="local")
        client.create_bucket(Bucket=BUCKET)
        print(f"Serving bucket {BUCKET} on http://{args.host}:{args.port}; "
              f"reach it as http_proxy=http://{args.host}:{args.port}", flush=True)
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--endpoint", help="S3 endpoint URL (default: $KELVO_ENDPOINT_URL)")
    parser.add_argument("--access-key-id")
    parser.add_argument("--secret-access-key")
    parser.add_argument("--region", default=None)
    parser.add_argument("--proxy", help="HTTP proxy URL (default: $http_proxy)")
    commands = parser.add_subparsers(dest="command", required=True)
    publish_parser = commands.add_parser("publish", help="upload an executable and its digest")
    publish_parser.add_argument("path")
    commands.add_parser("verify", help="check the published executable against exe_hash")
    serve_parser = commands.add_parser("serve", help="a local S3 server with the bucket")
    serve_parser.add_argument("--host", default="127.0.0.1")
    serve_parser.add_argument("--port", type=int, default=5000)
    serve_parser.add_argument("--engine", choices=["moto", "seaweedfs"], default="moto",
                              help="seaweedfs: a real store that checks signatures, with the "
                                   "module's keys read-only and publisher keys (both printed)")
    args = parser.parse_args(argv)
    try:
        return {"publish": publish, "verify": verify, "serve": serve}[args.command](args)
    except PublishError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
