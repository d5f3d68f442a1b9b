"""The store: the storage client the publisher's tool reaches the bucket with, what it says when
a storage call fails, the progress bar of a transfer, and the reads and checks that every command
shares (the bucket, an object, the write test, what the digest object holds)."""

from __future__ import annotations

import contextlib
import ipaddress
import os
import re
import secrets
import sys
import threading
import urllib.parse

import project
from failures import PublishError, one_line, warn
from program_check import HEAD_BYTES, identify, not_a_program
from project import BUCKET, DIGEST_OBJECT, EXE_NAME

HEX_DIGITS = set("0123456789abcdef")

# The endpoints a module build accepts: http:// and a host name of dot-separated labels, nothing
# else (project.py).
HOST_NAME = re.compile(project.HOST_NAME_PATTERN)
MODULE_ENDPOINT = re.compile(project.ENDPOINT_PATTERN)

# What sha256sum prints: the digest, a space, a space or "*" (binary mode), the file name.
SHA256SUM_LINE = re.compile(rb"([0-9A-Fa-f]{64}) [ *](\S.*?)\r?\n?")


def check_endpoint(endpoint, source):
    """Refuses what the storage client cannot use; warns when a module build would refuse it.

    The tool itself may reach the storage over https or at a port (a proxy, a test server);
    the updater only ever reaches the endpoint it was built with, which is http and a host name.
    """
    try:
        parts = urllib.parse.urlsplit(endpoint)
        _ = parts.port  # raises ValueError for a port that is not a number in range
        host = parts.hostname or ""
    except ValueError:
        parts, host = None, ""
    usable = (parts is not None and parts.scheme in ("http", "https") and not parts.username
              and parts.path in ("", "/") and not parts.query and not parts.fragment
              and (HOST_NAME.fullmatch(host) or is_ip_address(host)))
    if not usable:
        raise PublishError(
            f"the endpoint {endpoint!r} ({source}) is not an endpoint URL: use http:// or https://, "
            f"a host name and optionally a port, for example http://storage.example.com")
    if not MODULE_ENDPOINT.fullmatch(endpoint):
        warn(f"a module build refuses the endpoint {endpoint} (it takes http:// and a host name "
             f"only: no https, port, path or trailing slash); the updater reads only the endpoint "
             f"it was built with, so make sure that one reaches this storage")


def is_ip_address(host):
    try:
        ipaddress.ip_address(host)
        return True
    except ValueError:
        return False


def make_client(args):
    import boto3
    from botocore.config import Config

    proxy = args.proxy or os.environ.get("http_proxy") or os.environ.get("HTTP_PROXY")
    if args.endpoint:
        endpoint, source = args.endpoint, "--endpoint"
    elif os.environ.get("KELVO_ENDPOINT_URL"):
        endpoint, source = os.environ["KELVO_ENDPOINT_URL"], "KELVO_ENDPOINT_URL"
    else:
        raise PublishError("no endpoint: pass --endpoint URL or set KELVO_ENDPOINT_URL")
    check_endpoint(endpoint, source)
    args.endpoint = endpoint
    return boto3.session.Session().client(
        "s3",
        endpoint_url=endpoint,
        aws_access_key_id=args.access_key_id,
        aws_secret_access_key=args.secret_access_key,
        region_name=args.region,
        config=Config(proxies={"http": proxy} if proxy else None),
    )


def why(error, endpoint, key):
    """One line on why a storage call failed, and what to do about it."""
    from botocore.exceptions import ClientError, NoCredentialsError, PartialCredentialsError
    from botocore.exceptions import ConnectionError as Unreachable

    # boto3 wraps a failed upload's error, and a download's after its retries.
    error = getattr(error, "last_exception", None) or error
    if not isinstance(error, ClientError) and isinstance(error.__context__, ClientError):
        error = error.__context__
    if isinstance(error, (NoCredentialsError, PartialCredentialsError)):
        return ("no credentials: pass --access-key-id and --secret-access-key, or set "
                "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY")
    if isinstance(error, Unreachable):
        return unreachable(error, endpoint)
    if not isinstance(error, ClientError):
        return f"{type(error).__name__}: {one_line(error)}"
    code = str(error.response.get("Error", {}).get("Code", ""))
    headers = error.response.get("ResponseMetadata", {}).get("HTTPHeaders", {})
    if code.isdigit() and not any(name.lower().startswith("x-amz") for name in headers):
        # A bare HTTP status without any of the headers S3 storage sends with every answer.
        return (f"{endpoint} answered {code} without the headers S3 storage sends (x-amz-...): it is "
                f"a web server, not S3 storage. Check --endpoint (or KELVO_ENDPOINT_URL) and --proxy")
    if code == "NoSuchBucket" or (code == "404" and key is None):
        return (f"bucket {BUCKET} does not exist at {endpoint}: create it with "
                f"`python publisher/publisher.py --endpoint {endpoint} create-bucket`")
    if code in ("NoSuchKey", "404"):
        return f"nothing is published as {key} in bucket {BUCKET}: run publish"
    if code in ("InvalidAccessKeyId", "SignatureDoesNotMatch", "AccessDenied", "403"):
        return (f"the storage refused the credentials ({code}): check the key id and secret, and "
                f"that they may read and write bucket {BUCKET}")
    return one_line(error)


# What OpenSSL says when the other end answers a TLS greeting in plain HTTP.
PLAIN_ANSWER = {"WRONG_VERSION_NUMBER", "RECORD_LAYER_FAILURE", "PACKET_LENGTH_TOO_LONG"}


def unreachable(error, endpoint):
    """Why the connection failed, where the library's own words do not say it: a host name that
    does not resolve, or https:// to a port that speaks plain HTTP."""
    import socket
    import ssl

    causes, seen = [], error
    while seen is not None and len(causes) < 20:
        causes.append(seen)
        seen = seen.__cause__ or seen.__context__
    if any(isinstance(cause, socket.gaierror) for cause in causes):
        proxy = error.kwargs.get("proxy_url") if hasattr(error, "kwargs") else None
        which = "proxy" if proxy else "storage"
        host = urllib.parse.urlsplit(proxy or endpoint).hostname
        option = "--proxy (or http_proxy)" if proxy else "--endpoint (or KELVO_ENDPOINT_URL)"
        return (f"the {which}'s host name {host} does not resolve (no such name, or no name "
                f"server answers): check its spelling in {option}")
    if any(isinstance(cause, ssl.SSLError) and cause.reason in PLAIN_ANSWER for cause in causes):
        return (f"{endpoint} answers in plain HTTP, not HTTPS: use "
                f"http://{endpoint.removeprefix('https://')}, or the port that serves HTTPS")
    return f"the storage is unreachable: {one_line(error)}"


@contextlib.contextmanager
def storage(action, args, key=None, then=""):
    """Turns any failure of the storage calls in the block into one line: what failed, why,
    and `then`, what it leaves behind."""
    try:
        yield
    except Exception as error:
        raise PublishError(f"{action} failed: {why(error, args.endpoint, key)}{then}") from error


class Progress:
    """A console bar for a transfer; the storage client calls it from its worker threads."""

    shown = None  # the bar on the console, if one is unfinished

    def __init__(self, total, label):
        import progressbar

        widgets = [label, " ", progressbar.Percentage(), " ",
                   progressbar.Bar(marker="#", left="[", right="]"), " ",
                   progressbar.ETA(), " ", progressbar.FileTransferSpeed()]
        self.total = max(total, 1)
        # The stream is named here: the library's default is the stderr of its import.
        self.bar = progressbar.ProgressBar(widgets=widgets, maxval=self.total, fd=sys.stderr).start()
        Progress.shown = self
        self.done = 0
        self.lock = threading.Lock()

    def __call__(self, count):
        with self.lock:
            self.done += count
            self.bar.update(min(max(self.done, 0), self.total))

    def finish(self):
        self.bar.finish()
        Progress.shown = None


def diagnose(published: bytes, digest: str) -> str | None:
    """None when `published` is exactly the digest; otherwise what is wrong with it."""
    if published == digest.encode():
        return None
    text = published.decode("ascii", errors="replace")
    if published.rstrip(b"\r\n") == digest.encode():
        return f"{DIGEST_OBJECT} ends with a line end; it must be the 64 digits alone"
    if published.strip() == digest.encode():
        return f"{DIGEST_OBJECT} has spaces or line ends around the digest; it must be the 64 digits alone"
    if text.lower() == digest:
        return f"{DIGEST_OBJECT} is in upper case; it must be lower-case hexadecimal"
    if line := SHA256SUM_LINE.fullmatch(published):
        of = "" if line[1].lower() == digest.encode() else ", and of another file"
        return (f"{DIGEST_OBJECT} is a line of sha256sum's output (digest, spaces, file name{of}); "
                f"it must be the 64 digits alone")
    if len(published) != 64:
        return f"{DIGEST_OBJECT} is {len(published)} bytes long, not 64 hexadecimal digits"
    if not set(text) <= HEX_DIGITS:
        return f"{DIGEST_OBJECT} holds characters that are not lower-case hexadecimal digits"
    return f"{DIGEST_OBJECT} is the digest of another file: the published executable has changed since"


def error_code(error):
    """The store's code for a refused request ("AccessDenied", "404", ...), else None."""
    return getattr(error, "response", {}).get("Error", {}).get("Code")


def check_writable(client, args):
    """Writes and removes a small object of its own, so that keys that may only read (the
    module's) are refused before the executable is sent, not after."""
    probe = f".publish-probe-{secrets.token_hex(8)}"
    try:
        with storage("the write test", args, probe, then="; nothing was uploaded"):
            client.put_object(Bucket=BUCKET, Key=probe, Body=b"")
    except PublishError as error:
        if error_code(error.__cause__) not in ("AccessDenied", "403"):
            raise
        raise PublishError(
            f"these keys may not write bucket {BUCKET} (AccessDenied); nothing was uploaded. "
            f"Publish with the publisher's keys, never the module's, which may only read") from error
    with storage(f"removing the write test {probe}", args, probe,
                 then=f"; nothing was published, but remove {probe} from the bucket"):
        client.delete_object(Bucket=BUCKET, Key=probe)


def read_object(client, args, key):
    """The object's bytes, or None when the bucket has no such object."""
    try:
        with storage(f"reading {key}", args, key):
            return client.get_object(Bucket=BUCKET, Key=key)["Body"].read()
    except PublishError as error:
        if error_code(error.__cause__) in ("NoSuchKey", "404"):
            return None
        raise


def already_published(client, args, digest, size):
    """Whether the store's digest object is `digest` and its executable `size` bytes long."""
    if read_object(client, args, DIGEST_OBJECT) != digest.encode():
        return False
    try:
        with storage(f"reading the size of {EXE_NAME}", args, EXE_NAME):
            return client.head_object(Bucket=BUCKET, Key=EXE_NAME)["ContentLength"] == size
    except PublishError as error:
        if error_code(error.__cause__) in ("NoSuchKey", "404"):
            return False
        raise


def end_bar():
    """A message after an unfinished progress bar starts on a line of its own."""
    if Progress.shown:
        sys.stderr.write("\n")
        Progress.shown = None


def read_range(client, args, key, start, stop):
    """Bytes `start` to `stop` (exclusive) of the object `key`."""
    if stop <= start:
        return b""
    with storage(f"reading bytes {start} to {stop} of {key}", args, key):
        return client.get_object(Bucket=BUCKET, Key=key,
                                 Range=f"bytes={start}-{stop - 1}")["Body"].read()


def published_size(client, args):
    """The size of the store's executable, or None when there is none."""
    try:
        with storage(f"reading the size of {EXE_NAME}", args, EXE_NAME):
            return client.head_object(Bucket=BUCKET, Key=EXE_NAME)["ContentLength"]
    except PublishError as error:
        if error_code(error.__cause__) in ("NoSuchKey", "404"):
            return None
        raise


def published_program(client, args):
    """What the store's executable says it is (program_check.Identity), from its headers and
    resources alone; None when the store has none or it is not a Windows program."""
    size = published_size(client, args)
    if not size:
        return None

    def read(start, stop):
        return read_range(client, args, EXE_NAME, start, stop)

    if not_a_program(read(0, min(size, HEAD_BYTES)), size):
        return None
    return identify(read, size)
