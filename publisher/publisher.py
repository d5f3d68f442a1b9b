# /// script
# requires-python = ">=3.11"
# dependencies = [
#     "boto3>=1.26",
#     "progressbar>=2.5",
#     "pynacl>=1.5",  # for signed releases only
#     # for `serve` only: moto's S3 and its server, without the other services' dependencies
#     "moto[s3]>=5.0",
#     "flask",
#     "flask-cors",
# ]
# ///
"""Publishes kelvo_bot.exe for the updater, checks what is published, and serves a local bucket.

    python publisher/publisher.py create-bucket    create the bucket kelvo-bot (once, before publishing)
    python publisher/publisher.py publish PATH     upload the executable, then its digest; read both back
    python publisher/publisher.py keygen KEYFILE   a new release signing key (for publish --signing-key)
    python publisher/publisher.py refresh          sign the current release again with a new expiry
    python publisher/publisher.py verify           download the executable and check the published digest
    python publisher/publisher.py inspect PATH     what a wheel, bundle or module was built for
    python publisher/publisher.py serve            a local S3 server on 127.0.0.1 with the bucket

The updater downloads the executable whenever the object "exe_hash" is not, byte for byte, the
64 lower-case hexadecimal digits of the executable's SHA-256: one stray line end makes every
client download the bot on every start. This tool writes exactly that form and says what is
wrong with any other.

The endpoint comes from --endpoint or KELVO_ENDPOINT_URL; credentials from --access-key-id and
--secret-access-key, or the standard AWS variables and configuration files; --proxy (or the
standard http_proxy variable) reaches the endpoint through an HTTP proxy. Options may come
before or after the subcommand. With uv or pipx the dependencies come by themselves:
`uv run publisher/publisher.py ...` or `pipx run publisher/publisher.py ...`.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import hashlib
import importlib
import ipaddress
import logging
import os
import re
import secrets
import shlex
import sys
import tempfile
import threading
import urllib.parse
import zipfile
from pathlib import Path

# The project's facts are in tools/project.py; the release statement is beside this file.
TOOLS = str(Path(__file__).resolve().parent.parent / "tools")
if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)
import project  # noqa: E402
import release_statement  # noqa: E402
from project import BUCKET, DIGEST_OBJECT, EXE_NAME, STATEMENT_OBJECT  # noqa: E402
from release_statement import StatementError  # noqa: E402

EXE_KEY = EXE_NAME
HASH_KEY = DIGEST_OBJECT
# The release statement (release_statement.py): what the publisher signed of the release.
STATEMENT_KEY = STATEMENT_OBJECT
HEX_DIGITS = set("0123456789abcdef")

# The endpoints a module build accepts: http:// and a host name of dot-separated labels, nothing
# else (project.py).
HOST_NAME = re.compile(project.HOST_NAME_PATTERN)
MODULE_ENDPOINT = re.compile(project.ENDPOINT_PATTERN)

# What sha256sum prints: the digest, a space, a space or "*" (binary mode), the file name.
SHA256SUM_LINE = re.compile(rb"([0-9A-Fa-f]{64}) [ *](\S.*?)\r?\n?")


# What the commands import beyond the standard library, as (module, the package that provides
# it); the header above lists the same packages for uv and pipx. Checked before anything is done.
STORAGE = ("boto3", "boto3")
BAR = ("progressbar", "progressbar")
SIGNING = ("nacl.signing", "pynacl")
MOTO = ("moto.server", "moto[server]")


def needs(args):
    """The (module, package) pairs that this command, with these options, imports."""
    signs = bool(getattr(args, "signing_key", None) or getattr(args, "public_key", None))
    return {
        "create-bucket": [STORAGE],
        "publish": [STORAGE, BAR] + [SIGNING] * signs,
        "refresh": [STORAGE, SIGNING],
        "verify": [STORAGE, BAR] + [SIGNING] * signs,
        "serve": [STORAGE] + [MOTO] * (getattr(args, "engine", None) == "moto"),
        "keygen": [SIGNING],
    }.get(args.command, [])


class PublishError(Exception):
    """A failure the user can act on; its text says what to do."""


def warn(text):
    print(f"warning: {text}", file=sys.stderr)


def check_dependencies(args):
    """All the missing packages at once, with the one command that installs them."""
    missing = []
    for module, package in needs(args):
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(package)
    if missing:
        raise PublishError(
            f"{args.command} needs {' and '.join(missing)}, which this Python lacks: install "
            f"{'it' if len(missing) == 1 else 'them'} with "
            f"`{shlex.join([sys.executable, '-m', 'pip', 'install', *missing])}`")


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
        return f"the storage is unreachable: {one_line(error)}"
    if not isinstance(error, ClientError):
        return f"{type(error).__name__}: {one_line(error)}"
    code = str(error.response.get("Error", {}).get("Code", ""))
    if code == "NoSuchBucket" or (code == "404" and key is None):
        return (f"bucket {BUCKET} does not exist at {endpoint}: create it with "
                f"`python publisher/publisher.py --endpoint {endpoint} create-bucket`")
    if code in ("NoSuchKey", "404"):
        return f"nothing is published as {key} in bucket {BUCKET}: run publish"
    if code in ("InvalidAccessKeyId", "SignatureDoesNotMatch", "AccessDenied", "403"):
        return (f"the storage refused the credentials ({code}): check the key id and secret, and "
                f"that they may read and write bucket {BUCKET}")
    return one_line(error)


def one_line(error):
    return " ".join(str(error).split()) or type(error).__name__


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
        return "exe_hash ends with a line end; it must be the 64 digits alone"
    if published.strip() == digest.encode():
        return "exe_hash has spaces or line ends around the digest; it must be the 64 digits alone"
    if text.lower() == digest:
        return "exe_hash is in upper case; it must be lower-case hexadecimal"
    if line := SHA256SUM_LINE.fullmatch(published):
        of = "" if line[1].lower() == digest.encode() else ", and of another file"
        return (f"exe_hash is a line of sha256sum's output (digest, spaces, file name{of}); "
                f"it must be the 64 digits alone")
    if len(published) != 64:
        return f"exe_hash is {len(published)} bytes long, not 64 hexadecimal digits"
    if not set(text) <= HEX_DIGITS:
        return "exe_hash holds characters that are not lower-case hexadecimal digits"
    return "exe_hash is the digest of another file: the published executable has changed since"


def error_code(error):
    """The store's code for a refused request ("AccessDenied", "404", ...), else None."""
    return getattr(error, "response", {}).get("Error", {}).get("Code")


def create_bucket(args):
    client = make_client(args)
    # Asked first: some stores answer a second creation by its owner with success, others not.
    try:
        with storage(f"checking bucket {BUCKET}", args):
            client.head_bucket(Bucket=BUCKET)
    except PublishError as error:
        if error_code(error.__cause__) not in ("404", "NoSuchBucket"):
            raise
    else:
        print(f"Bucket {BUCKET} already exists at {args.endpoint}")
        return 0
    settings = {}
    if args.region and args.region != "us-east-1":
        settings["CreateBucketConfiguration"] = {"LocationConstraint": args.region}
    with storage(f"creating bucket {BUCKET}", args):
        client.create_bucket(Bucket=BUCKET, **settings)
    print(f"Created bucket {BUCKET} at {args.endpoint}")
    return 0


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


def current_statement(data):
    """The store's statement, or None when there is none or it is not one."""
    try:
        return release_statement.parse(data) if data is not None else None
    except StatementError:
        return None


def expiry_date(args):
    """The last day (UTC) of a statement signed now with --expires-in, or None: never."""
    if args.expires_in is None:
        return None
    return release_statement.utc_today() + datetime.timedelta(days=args.expires_in)


def publish(args):
    path = args.path
    if not os.path.isfile(path):
        raise PublishError(f"{path} is not a file")
    key = signing_key(args.signing_key) if args.signing_key else None
    if args.expires_in is not None and not key:
        raise PublishError("--expires-in is the expiry of a signed release: add --signing-key KEYFILE")
    client = make_client(args)
    # Before a large file is read and sent: do the credentials work, is the bucket there, is its
    # release signed, and may they write it?
    with storage(f"checking bucket {BUCKET}", args):
        client.head_bucket(Bucket=BUCKET)
    current = read_object(client, args, STATEMENT_KEY)
    if current is not None and not key and not args.unsigned:
        raise PublishError(
            f"the store holds {STATEMENT_KEY}, a signed release: a module built with a release key "
            f"refuses a release without one. Publish with --signing-key KEYFILE (or, to publish "
            f"unsigned and remove {STATEMENT_KEY}, with --unsigned); nothing was uploaded")
    if key:
        release = release_statement.next_release(current)
        previous = current_statement(current)
        if previous and not previous.signed_by(key.verify_key):
            warn(f"the current release {previous.release} is not signed by this key; release "
                 f"{release} goes on from its number (a new key? if not, check --signing-key)")
    check_writable(client, args)
    with open(path, "rb") as file:
        digest = hashlib.file_digest(file, "sha256").hexdigest()
    size = os.path.getsize(path)
    statement = release_statement.make(key, digest, size, release, expiry_date(args)) if key else None

    # The executable goes first and its digest last. A client that checks in between compares
    # with the old digest: with the old executable it finds them identical and keeps it; a
    # client that downloads then gets the new executable, and the next check finds it current.
    with storage(f"upload of {EXE_KEY}", args, EXE_KEY, then="; nothing was published"):
        progress = Progress(size, "Uploading")
        client.upload_file(path, BUCKET, EXE_KEY, Callback=progress)
        progress.finish()
    then = (f"; {EXE_KEY} was uploaded, but clients keep their executable until its digest is "
            f"published: run publish again")
    # Before the digest: no client ever sees a new digest with the old statement.
    if statement:
        with storage(f"upload of {STATEMENT_KEY}", args, STATEMENT_KEY, then=then):
            client.put_object(Bucket=BUCKET, Key=STATEMENT_KEY, Body=statement)
    elif current is not None:
        with storage(f"removing {STATEMENT_KEY}", args, STATEMENT_KEY, then=then):
            client.delete_object(Bucket=BUCKET, Key=STATEMENT_KEY)
    with storage(f"upload of {HASH_KEY}", args, HASH_KEY, then=then):
        client.put_object(Bucket=BUCKET, Key=HASH_KEY, Body=digest.encode("ascii"))

    with storage("reading back what was published", args, EXE_KEY):
        published_size = client.head_object(Bucket=BUCKET, Key=EXE_KEY)["ContentLength"]
    with storage("reading back what was published", args, HASH_KEY):
        published_digest = client.get_object(Bucket=BUCKET, Key=HASH_KEY)["Body"].read()
    if published_size != size:
        raise PublishError(f"{EXE_KEY} holds {published_size} bytes, not {size}: publish again")
    problem = diagnose(published_digest, digest)
    if problem:
        raise PublishError(problem)
    if statement and read_object(client, args, STATEMENT_KEY) != statement:
        raise PublishError(f"{STATEMENT_KEY} does not hold the statement just written: publish again")
    if statement:
        parsed = release_statement.parse(statement)
        print(f"Published {path}: {size} bytes, sha256 {digest}, release {parsed.release}, "
              f"expires {parsed.expiry}")
    else:
        print(f"Published {path}: {size} bytes, sha256 {digest}, unsigned")
    return 0


def refresh(args):
    """The current release's statement again, with a new expiry; nothing else changes."""
    key = signing_key(args.signing_key)
    client = make_client(args)
    data = read_object(client, args, STATEMENT_KEY)
    if data is None:
        raise PublishError(f"there is no {STATEMENT_KEY} to refresh: publish the release with "
                           f"`publish --signing-key KEYFILE PATH`")
    try:
        old = release_statement.parse(data)
    except StatementError as error:
        raise PublishError(f"{STATEMENT_KEY} is not a release statement ({error}): publish the "
                           f"release with `publish --signing-key KEYFILE PATH`") from None
    if not old.signed_by(key.verify_key):
        raise PublishError(f"release {old.release} is not signed by this key: refresh it with the "
                           f"key that signed it, or publish the release again with this one")
    with storage(f"reading {HASH_KEY}", args, HASH_KEY):
        digest = client.get_object(Bucket=BUCKET, Key=HASH_KEY)["Body"].read()
    with storage(f"reading the size of {EXE_KEY}", args, EXE_KEY):
        size = client.head_object(Bucket=BUCKET, Key=EXE_KEY)["ContentLength"]
    if digest != old.sha256.encode() or size != old.size:
        what = (f"{HASH_KEY} is not its digest" if digest != old.sha256.encode()
                else f"{EXE_KEY} holds {size} bytes, not its {old.size}")
        raise PublishError(f"the store no longer holds release {old.release} ({what}): publish the "
                           f"release with `publish --signing-key KEYFILE PATH`; nothing was changed")
    statement = release_statement.make(key, old.sha256, old.size, old.release, expiry_date(args))
    with storage(f"upload of {STATEMENT_KEY}", args, STATEMENT_KEY,
                 then=f"; release {old.release} still expires {old.expiry}"):
        client.put_object(Bucket=BUCKET, Key=STATEMENT_KEY, Body=statement)
    if read_object(client, args, STATEMENT_KEY) != statement:
        raise PublishError(f"{STATEMENT_KEY} does not hold the statement just written: refresh again")
    print(f"Refreshed release {old.release}: expires {release_statement.parse(statement).expiry} "
          f"(was {old.expiry})")
    return 0


def verify(args):
    key = verify_key(args)
    client = make_client(args)
    with storage(f"reading {HASH_KEY}", args, HASH_KEY):
        published = client.get_object(Bucket=BUCKET, Key=HASH_KEY)["Body"].read()
    with storage(f"reading the size of {EXE_KEY}", args, EXE_KEY):
        size = client.head_object(Bucket=BUCKET, Key=EXE_KEY)["ContentLength"]
    with tempfile.TemporaryFile() as file:
        with storage(f"download of {EXE_KEY}", args, EXE_KEY):
            progress = Progress(size, "Downloading")
            client.download_fileobj(BUCKET, EXE_KEY, file, Callback=progress)
            progress.finish()
        size = file.tell()
        file.seek(0)
        digest = hashlib.file_digest(file, "sha256").hexdigest()
    problem = diagnose(published, digest)
    if problem:
        print(f"NOT OK: {problem}.\n  executable sha256: {digest}\n  exe_hash holds:    {published!r}\n"
              f"Until this is mended every client downloads the bot on every start. Publish the "
              f"release again with `python publisher/publisher.py publish PATH-TO-{EXE_KEY}` "
              f"(it writes exe_hash as the 64 digits alone), then run verify again.")
        return 1
    if key:
        statement = read_object(client, args, STATEMENT_KEY)
        problem, fix = statement_problem(key, statement, digest, size)
        if problem:
            print(f"NOT OK: {problem}: a module built with this key refuses the update. {fix}")
            return 1
        parsed = release_statement.parse(statement)
        print(f"OK: {STATEMENT_KEY} is release {parsed.release} of this executable, signed by this "
              f"key, expires {parsed.expiry}")
    print(f"OK: {EXE_KEY} ({size} bytes) matches exe_hash {digest}")
    return 0


def statement_problem(key, data, digest, size):
    """(what is wrong with the statement `data` of the executable, what to do) or (None, None)."""
    publish_signed = ("Publish the release signed: `python publisher/publisher.py publish --signing-key "
                      f"KEYFILE PATH-TO-{EXE_KEY}`.")
    if data is None:
        return f"there is no {STATEMENT_KEY}", publish_signed
    try:
        statement = release_statement.parse(data)
    except StatementError as error:
        return f"{STATEMENT_KEY} is not a release statement: {error}", publish_signed
    if not statement.signed_by(key):
        return f"{STATEMENT_KEY} (release {statement.release}) is not signed by this key", publish_signed
    if statement.sha256 != digest or statement.size != size:
        return (f"{STATEMENT_KEY} (release {statement.release}) is the statement of another "
                f"executable ({statement.size} bytes, sha256 {statement.sha256})"), publish_signed
    if statement.expired():
        return (f"release {statement.release} expired at the end of {statement.expiry} (UTC)",
                "Sign it again with a new expiry: `python publisher/publisher.py refresh --signing-key "
                "KEYFILE --expires-in DAYS`.")
    return None, None


def module_files(path):
    """(name, bytes) of each updater_core module in a wheel, a zip, a bundle folder or the module
    file itself."""
    def is_module(name):
        name = name.replace("\\", "/").rsplit("/", 1)[-1]
        return name.startswith("updater_core") and name.endswith((".pyd", ".so"))

    if path.is_dir():
        return [(str(f.relative_to(path)), f.read_bytes()) for f in sorted(path.rglob("*"))
                if f.is_file() and is_module(f.name)]
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as archive:
            return [(name, archive.read(name)) for name in archive.namelist() if is_module(name)]
    if path.is_file() and is_module(path.name):
        return [(path.name, path.read_bytes())]
    return []


def inspect(args):
    """What a build was made for, from the module's own bytes; never prints the secret."""

    path = Path(args.path)
    if not path.exists():
        raise PublishError(f"{path} does not exist")
    modules = module_files(path)
    if not modules:
        raise PublishError(f"{path} holds no updater_core module (a wheel, a bundle folder or zip, "
                           f"or the .pyd itself)")
    default_id, default_secret = project.default_keys()
    # The build's constants are NUL-terminated strings in the module's data.
    endpoint_text = re.compile(rb"(?<![A-Za-z0-9/.-])(" + MODULE_ENDPOINT.pattern.encode() + rb")\0")
    for name, data in modules:
        endpoints = sorted({m[1].decode() for m in endpoint_text.finditer(data)})
        print(f"{path}: {name}")
        print(f"  endpoint:    {', '.join(endpoints) or 'not found'}")
        print(f"  release key: {release_key(data)}")
        if default_secret.encode() + b"\0" in data or default_id.encode() + b"\0" in data:
            print("  keys:        WARNING: the repository's default keys. They are public: anyone can "
                  "sign requests with them. Build with your own UPDATER_ACCESS_KEY_ID and "
                  "UPDATER_SECRET_ACCESS_KEY (read-only keys of your store) before shipping.")
        else:
            print("  keys:        the build's own, not the repository's defaults (the secret is not shown)")
    return 0


# The build's release public key: "release-public-key=" then its 64 hexadecimal digits, or
# nothing for a build that requires no signed releases, as a NUL-terminated string.
RELEASE_KEY_TEXT = re.compile(rb"release-public-key=([0-9A-Fa-f]{64}|)\0")


def release_key(data):
    """What inspect says of the release public key a module's bytes trust."""
    keys = sorted({m[1].decode().lower() for m in RELEASE_KEY_TEXT.finditer(data)})
    if not keys:
        return "not recorded (a build made before modules recorded it)"
    if keys == [""]:
        return "none: this build installs releases without a signature"
    return f"{', '.join(keys)} (only releases signed with its private key install)"


def serve(args):
    """moto's S3 server with the bucket, until Ctrl-C; port 0 takes a free port. With
    --engine seaweedfs, a real store instead: the demo's and the tests' stores
    (tools/local_s3.py, tools/seaweedfs.py)."""
    if args.engine == "seaweedfs":
        import seaweedfs

        return seaweedfs.main(["--host", args.host] + (["--port", str(args.port)] if args.port else [])
                              + (["--build", args.build] if args.build else []))
    if args.host not in ("127.0.0.1", "localhost", "::1"):
        raise PublishError("serve listens on the loopback interface only")
    import local_s3

    try:
        with local_s3.serving(logging.StreamHandler(), args.host, args.port) as server:
            print(f"Serving bucket {BUCKET} on {server.url}; reach it as http_proxy={server.url}",
                  flush=True)
            threading.Event().wait()
    except OSError as error:
        raise PublishError(str(error)) from None


def signing_key(path):
    """The private key of a key file written by keygen: its 32-byte seed in hexadecimal."""
    try:
        with open(path, encoding="ascii") as file:
            seed = bytes.fromhex(file.read().strip())
    except (OSError, ValueError) as error:
        raise PublishError(f"cannot read the signing key {path}: {error}") from error
    if len(seed) != 32:
        raise PublishError(f"{path} is not a signing key written by keygen")
    import nacl.signing

    return nacl.signing.SigningKey(seed)


def keygen(args):
    import nacl.signing

    key = nacl.signing.SigningKey.generate()
    # Readable by its owner only from the moment it exists; an existing file is never replaced.
    try:
        fd = os.open(args.keyfile, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise PublishError(f"{args.keyfile} exists: not replacing a signing key") from None
    except OSError as error:
        raise PublishError(f"cannot write {args.keyfile}: {error}") from error
    with os.fdopen(fd, "w", encoding="ascii") as file:
        file.write(key.encode().hex() + "\n")
    print(f"Wrote the private key to {args.keyfile}: keep it offline, never in the store. Build "
          f"the module with UPDATER_RELEASE_PUBLIC_KEY set to this public key:", file=sys.stderr)
    print(key.verify_key.encode().hex())
    return 0


def verify_key(args):
    """The public key verify checks the signature with, if one is given."""
    if args.signing_key:
        return signing_key(args.signing_key).verify_key
    if args.public_key:
        import nacl.signing

        try:
            key = nacl.signing.VerifyKey(bytes.fromhex(args.public_key))
            key.to_curve25519_public_key()  # libsodium refuses what is not a curve point
            return key
        except Exception as error:
            raise PublishError(f"--public-key is not an Ed25519 public key ({error})") from error
    return None


def command_line():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Run `%(prog)s COMMAND --help` for a command's own options.")
    storage_options(parser, None)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     help="what to do; `COMMAND --help` tells more")
    # On the subcommands the storage options have no defaults: a default there would replace
    # the value of an option given before the subcommand.
    given_here = argparse.ArgumentParser(add_help=False)
    storage_options(given_here, argparse.SUPPRESS)

    def command(name, run, help, storage=True, description=None, path=None):
        """A subcommand that runs `run`; with `storage`, it takes the storage options too; with
        `path`, (METAVAR, help) of the one file it is given."""
        sub = commands.add_parser(name, parents=[given_here] if storage else [], help=help,
                                  description=description)
        sub.set_defaults(run=run)
        if path:
            sub.add_argument(path[0].lower(), metavar=path[0], help=path[1])
        return sub

    # The commands that work on one local file and never reach the store.
    for name, run, help, path, description in [
        ("keygen", keygen, "write a new release signing key", ("KEYFILE", "the file to create"),
         "Write a new Ed25519 private key to KEYFILE (readable by its owner only; an existing "
         "file is never replaced) and print its public key, the module's "
         "UPDATER_RELEASE_PUBLIC_KEY, as the last line."),
        ("inspect", inspect, "say what a wheel or bundle was built for",
         ("PATH", "a wheel, bundle folder, zip or module"),
         "Read the endpoint and the release public key (or none) from a built module (a wheel, "
         "a bundle folder or its zip, or the .pyd), and say whether its keys are the "
         "repository's public defaults. The secret is never printed."),
    ]:
        command(name, run, help, storage=False, path=path, description=description)

    def expires_in(parser):
        parser.add_argument("--expires-in", metavar="DAYS", type=days,
                            help="the release expires at the end of the UTC day DAYS days from "
                                 "today: modules refuse it afterwards (default: never)")

    publish_parser = command(
        "publish", publish, "upload an executable and its digest",
        path=("PATH", f"the {EXE_KEY} to publish"),
        description=f"Upload the executable as {EXE_KEY}, then, with --signing-key, its "
                    "release statement as exe_hash.sig (the next release number), then its "
                    "SHA-256 as exe_hash, and read them back. The bucket and the credentials "
                    "are checked first. Publishing an older executable again makes a new release: "
                    "that is how to roll back.")
    signed = publish_parser.add_mutually_exclusive_group()
    signed.add_argument("--signing-key", metavar="KEYFILE",
                        help="sign the release with this key (from keygen) and upload its "
                             "statement as exe_hash.sig, before the digest")
    signed.add_argument("--unsigned", action="store_true",
                        help="publish without a statement where one was published before, "
                             "removing exe_hash.sig: modules built with a release key refuse it")
    expires_in(publish_parser)

    refresh_parser = command(
        "refresh", refresh, "sign the current release again with a new expiry",
        description="Sign the published release's statement again with a new expiry, keeping "
                    "its release number, digest and size; the executable is not uploaded. "
                    "Refused when there is no statement, another key signed it, or exe_hash or "
                    "the executable's size no longer match it.")
    refresh_parser.add_argument("--signing-key", metavar="KEYFILE", required=True,
                                help="the key (from keygen) that signed the release")
    expires_in(refresh_parser)

    verify_parser = command(
        "verify", verify, "check the published executable against exe_hash",
        description="Download the published executable, hash it and say what is wrong with "
                    "exe_hash when they do not match; with a key, check the release statement "
                    "exe_hash.sig too and show its release number and expiry. Exit status 1 "
                    "when anything is wrong.")
    verify_keys = verify_parser.add_mutually_exclusive_group()
    verify_keys.add_argument("--public-key", metavar="HEX",
                             help="also check exe_hash.sig against this public key (64 hex digits)")
    verify_keys.add_argument("--signing-key", metavar="KEYFILE",
                             help="also check exe_hash.sig against this key file's public key")

    command(
        "create-bucket", create_bucket, f"create the bucket {BUCKET}, once",
        description=f"Create the bucket {BUCKET} with these keys (the publisher's). An upload does "
                    "not create it. A bucket these keys already own is fine.")

    serve_parser = command(
        "serve", serve, "a local S3 server with the bucket, for development", storage=False,
        description=f"Run moto's S3 server on the loopback interface with the bucket {BUCKET} "
                    "until Ctrl-C. It prints the address it listens on.")
    serve_parser.add_argument("--host", default="127.0.0.1",
                              help="loopback address to listen on (default: %(default)s)")
    serve_parser.add_argument("--port", type=int, default=5000,
                              help="port to listen on; 0 takes a free one (default: %(default)s)")
    serve_parser.add_argument("--engine", choices=["moto", "seaweedfs"], default="moto",
                              help="seaweedfs: a real store that checks signatures, with the "
                                   "module's keys read-only and publisher keys (both printed)")
    serve_parser.add_argument("--build", metavar="DIR",
                              help="with seaweedfs: take the module's keys from this CMake build "
                                   "folder, e.g. build/win-amd64/cmake (default: the repository's "
                                   "default keys)")
    return parser


def days(text):
    """--expires-in: a whole number of days, 1 to 36500 (leave it out for never)."""
    if not re.fullmatch("[0-9]{1,5}", text) or not 1 <= int(text) <= 36500:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of days from 1 to 36500")
    return int(text)


def main(argv=None):
    args = command_line().parse_args(argv)
    try:
        check_dependencies(args)
        return args.run(args)
    except PublishError as error:
        end_bar()
        print(f"error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        end_bar()
        print("interrupted", file=sys.stderr)
        return 130


def storage_options(parser, default):
    parser.add_argument("--endpoint", metavar="URL", default=default,
                        help="S3 endpoint URL: http:// or https://, a host, optionally a port; "
                             "a module build takes http:// and a host name only "
                             "(default: $KELVO_ENDPOINT_URL)")
    parser.add_argument("--access-key-id", metavar="ID", default=default,
                        help="storage access key id (default: $AWS_ACCESS_KEY_ID or the AWS files)")
    parser.add_argument("--secret-access-key", metavar="SECRET", default=default,
                        help="storage secret access key (default: $AWS_SECRET_ACCESS_KEY or the "
                             "AWS files)")
    parser.add_argument("--region", default=default,
                        help="region name, if the storage wants one (default: $AWS_DEFAULT_REGION)")
    parser.add_argument("--proxy", metavar="URL", default=default,
                        help="HTTP proxy URL (default: $http_proxy)")


def end_bar():
    """A message after an unfinished progress bar starts on a line of its own."""
    if Progress.shown:
        sys.stderr.write("\n")
        Progress.shown = None


if __name__ == "__main__":
    sys.exit(main())
