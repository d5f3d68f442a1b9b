# /// script
# requires-python = ">=3.11"
# dependencies = [
#     "boto3>=1.26",
#     "progressbar>=2.5",
#     "pynacl>=1.5",  # for signed releases only
#     "backports.zstd>=1.8",  # for the patches of signed releases only
#     # for `serve` only: moto's S3 and its server, without the other services' dependencies
#     "moto[s3]>=5.0",
#     "flask",
#     "flask-cors",
# ]
# ///
"""Publishes kelvo_bot.exe for the updater, checks what is published, and serves a local bucket.

    python publisher/publisher.py create-bucket    create the bucket kelvo-bot (once, before publishing)
    python publisher/publisher.py publish PATH     upload the executable, then its digest; read both back
    python publisher/publisher.py keygen KEYFILE   a new release signing key (for publish --signing-key);
                                                   with --spare, the spare kept offline for a rotation
    python publisher/publisher.py refresh          sign the current release again with a new expiry
    python publisher/publisher.py verify           download the executable and check the published digest
    python publisher/publisher.py inspect PATH     what a wheel, bundle or module was built for
    python publisher/publisher.py serve            a local S3 server on 127.0.0.1 with the bucket

The updater downloads the executable whenever the object "exe_hash" is not, byte for byte, the
64 lower-case hexadecimal digits of the executable's SHA-256: one stray line end makes every
client download the bot on every start. This tool writes exactly that form and says what is
wrong with any other. It publishes only a 64-bit Windows program (the tests and the Linux demo,
which publish shell scripts, say --not-a-windows-program), and a signed release only with the key
the bots trust, under a number that never goes back.

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
from dataclasses import dataclass
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
# The publisher's own object (the module never reads it): the last release number used and the
# public key of the last signed release, so that numbers never go back, whatever replaced or
# removed exe_hash.sig in between, and a refusal can name the key the bots trust.
RECORD_KEY = "publisher.record"
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
PATCHES = ("backports.zstd", "backports.zstd")
MOTO = ("moto.server", "moto[server]")


def needs(args):
    """The (module, package) pairs that this command, with these options, imports."""
    signs = bool(getattr(args, "signing_key", None) or getattr(args, "public_key", None))
    return {
        "create-bucket": [STORAGE],
        "publish": [STORAGE, BAR] + [SIGNING, PATCHES] * signs,
        "refresh": [STORAGE, SIGNING],
        "verify": [STORAGE, BAR] + [SIGNING, PATCHES] * signs,
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
        raise PublishError(f"{args.command} needs packages this Python lacks: {', '.join(missing)}. "
                           f"{install_advice(missing)}")


# Where the advice puts a virtual environment of the tool's own.
VENV = "~/.venvs/kelvo-publisher"


def install_advice(missing):
    """How to install `missing`: with this Python's pip inside a virtual environment; otherwise
    in a new one, since a distribution's Python (Debian's, Ubuntu's) refuses pip outside one."""
    if sys.prefix != sys.base_prefix:
        return f"Install them with `{shlex.join([sys.executable, '-m', 'pip', 'install', *missing])}`"
    # A new environment has none of the tool's packages, so it gets all of them.
    packages = list(dict.fromkeys([STORAGE[1], BAR[1], SIGNING[1], *missing]))
    return (f"Install them in a virtual environment (on Debian or Ubuntu after `apt install "
            f"python3-venv`): `python3 -m venv {VENV} && {VENV}/bin/pip install "
            f"{shlex.join(packages)}`, then run the tool with `{VENV}/bin/python`")


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


# What is published must run: the bots start it as a 64-bit Windows program, and one that cannot
# start leaves them without a bot. A file's headers sit well within its first bytes.
HEAD_BYTES = 65536
MACHINES = {0x14C: "a 32-bit Windows program (x86)", 0xAA64: "an ARM64 Windows program",
            0x1C0: "an ARM Windows program", 0x200: "an Itanium Windows program"}
IMAGE_FILE_DLL = 0x2000


def not_a_program(head: bytes, size: int) -> str | None:
    """None when a file of `size` bytes that begins with `head` is a 64-bit Windows program (x64)
    that holds what its headers say; otherwise what the file is, in words."""
    if size == 0:
        return "empty (0 bytes)"
    if head.startswith(b"MZ"):
        return not_a_64_bit_program(head, size)
    if head.startswith(b"\x7fELF"):
        return f"an ELF program for Linux or another Unix ({size} bytes), not a Windows program"
    if head.startswith((b"PK\x03\x04", b"PK\x05\x06")):
        return f"a zip archive ({size} bytes), not a program"
    sample = head[:1024]
    if not any(byte < 0x20 and byte not in b"\t\n\r\f" or byte == 0x7F for byte in sample):
        first = sample.split(b"\n", 1)[0][:40].decode("utf-8", "replace")
        kind = "a script" if first.startswith("#!") else "text"
        return f"{kind} ({size} bytes, first line {first!r}), not a program"
    return f"not a Windows program ({size} bytes, beginning {head[:8].hex(' ')})"


def not_a_64_bit_program(head, size):
    """not_a_program for a file that begins with MZ: the PE signature where the header puts it,
    the machine, a program rather than a library, and a file as long as its sections say."""
    def number(at, width):
        return int.from_bytes(head[at:at + width], "little")

    pe = number(0x3C, 4)
    if len(head) < 0x40 or head[pe:pe + 4] != b"PE\0\0" or len(head) < pe + 24:
        return f"an MZ file without the PE signature of a Windows program at offset {pe} ({size} bytes)"
    machine = number(pe + 4, 2)
    if machine != 0x8664:
        kind = MACHINES.get(machine, f"a Windows program for machine 0x{machine:04x}")
        return f"{kind} ({size} bytes), not a 64-bit one (x64)"
    if number(pe + 22, 2) & IMAGE_FILE_DLL:
        return f"a 64-bit Windows library (DLL, {size} bytes), not a program"
    sections, table = number(pe + 6, 2), pe + 24 + number(pe + 20, 2)
    if not sections or len(head) < table + 40 * sections:
        return f"a damaged 64-bit Windows program ({size} bytes: its section table is missing)"
    # Each section's data: its size in the file at +16 of its entry, its offset at +20.
    end = max(number(entry + 20, 4) + number(entry + 16, 4)
              for entry in range(table, table + 40 * sections, 40))
    if end > size:
        return f"a truncated 64-bit Windows program ({size} bytes, where its sections end at byte {end})"
    return None


def check_program(args, what, head, size, then):
    """Refuses what is not a 64-bit Windows program, unless --not-a-windows-program says so."""
    problem = None if args.not_a_windows_program else not_a_program(head, size)
    if problem:
        raise PublishError(f"{what} is {problem}: the bots cannot start it, and a bot that installed "
                           f"it would be left without one. Publish the bot's own {EXE_KEY}, a 64-bit "
                           f"Windows program{then}")


# --- The publisher's record, and the key the bots trust

RECORD_FIRST_LINE = f"{BUCKET} publisher record 1"
RECORD = re.compile(rf"{re.escape(RECORD_FIRST_LINE)}\nrelease ({release_statement.NUMBER})\n"
                    rf"key ([0-9a-f]{{64}}|none)\n")


@dataclass(frozen=True)
class Record:
    """What the store's publisher.record says: the last release number used, and the public key
    (hexadecimal) of the last signed release."""

    release: int
    key: str | None

    def __bytes__(self):
        return f"{RECORD_FIRST_LINE}\nrelease {self.release}\nkey {self.key or 'none'}\n".encode()


def read_record(client, args):
    data = read_object(client, args, RECORD_KEY)
    if data is None:
        return None
    match = RECORD.fullmatch(data.decode("ascii", "replace"))
    if not match:
        raise PublishError(
            f"{RECORD_KEY}, this tool's record of the last release number, is damaged: remove it and "
            f"publish with --after-release N, N being the highest release the bots may have; nothing "
            f"was changed")
    return Record(int(match[1]), None if match[2] == "none" else match[2])


def public_key(key_hex):
    """The PyNaCl VerifyKey of 64 hexadecimal digits, or None when they are not a key."""
    import nacl.signing

    try:
        return nacl.signing.VerifyKey(bytes.fromhex(key_hex))
    except Exception:
        return None


def trusted_key(current, record):
    """The public key (hexadecimal) of the key the bots trust, as far as the store tells: the
    recorded key when it signed the current statement (or there is none), else None."""
    if record is None or record.key is None:
        return None
    if current is None or current.signed_by(public_key(record.key)):
        return record.key
    return None


def check_signing_key(args, key, current, record):
    """Refuses a key file that holds the bots' public key, and a key other than the one that
    signed the store's release unless --new-signing-key says that the key changes on purpose.
    When it does, what that means for the bundles, to be said once the release is made; else
    None."""
    given = key.verify_key.encode().hex()
    trusted = trusted_key(current, record)
    # A file of 64 digits alone is a secret key of an earlier keygen, or a public key saved by
    # hand: the second is the public key that signed the store's release.
    seed = key.encode()
    as_public = public_key(seed.hex())
    if seed.hex() == trusted or (current and as_public and current.signed_by(as_public)):
        raise PublishError(
            f"{args.signing_key} holds the public key {seed.hex()}, which the bots check releases "
            f"with, not a signing key: pass the secret key file keygen wrote; nothing was changed")
    if current is not None:
        changes, last = not current.signed_by(key.verify_key), current.release
    elif record is not None and record.key is not None:
        changes, last = record.key != given, record.release
    else:
        changes = False
    if not changes:
        return None
    old = f"the key {trusted}" if trusted else "a key whose public key this store does not record"
    if not args.new_signing_key:
        raise PublishError(
            f"release {last} is signed by {old}, not by {args.signing_key} (public key {given}): "
            f"bundles built with that key would refuse this release. Sign with the key file of "
            f"{trusted or 'that key'}; to change the key on purpose (a lost or leaked key, or the "
            f"bundles' spare), add --new-signing-key; nothing was changed")
    return (f"the key changed on purpose, from {old} to {given}: bundles built with {given} as "
            f"their release or spare key install this release (and after one signed by its spare, a "
            f"bot trusts only the spare); bundles built with {trusted or 'the old key'} alone refuse "
            f"it and every later release until their users install a bundle built with {given}")


def next_release(args, current, record):
    """One more than any number the store has used, or than --after-release: never lower."""
    used = max(current.release if current else 0, record.release if record else 0)
    after = getattr(args, "after_release", None)
    if after is not None:
        if after < used:
            raise PublishError(
                f"--after-release {after} would go back: this store has used release numbers up to "
                f"{used}, and a bot that installed one of them refuses a lower number. Leave it out "
                f"(release {used + 1}) or give {used} or more; nothing was changed")
        used = after
    if used >= release_statement.MAX_NUMBER:
        raise PublishError(
            f"release {used} is the highest number a release statement can hold, so no release can "
            f"follow it (publish counts by one: it was set by hand). If no bot installed it, remove "
            f"{STATEMENT_KEY} and {RECORD_KEY} and publish with --after-release N, N being the "
            f"highest release the bots installed; nothing was changed")
    return used + 1


def expiry_date(args, kept):
    """The last day (UTC) of a statement signed now, or None (never): --expires-in's, else the
    expiry of `kept`, the statement it follows."""
    if args.expires_in == "never":
        return None
    if args.expires_in is not None:
        return release_statement.utc_today() + datetime.timedelta(days=args.expires_in)
    if kept is not None and kept.expired():
        raise PublishError(
            f"release {kept.release} expired at the end of {kept.expiry} (UTC), and its expiry would "
            f"be kept: give --expires-in DAYS (or --expires-in never); nothing was changed")
    return kept.expires if kept else None


def publish(args):
    path = args.path
    if not os.path.isfile(path):
        raise PublishError(f"{path} is not a file")
    size = os.path.getsize(path)
    with open(path, "rb") as file:
        check_program(args, path, file.read(HEAD_BYTES), size, "; nothing was uploaded")
    key = signing_key(args.signing_key) if args.signing_key else None
    for given, option in [(args.expires_in, "--expires-in"), (args.after_release, "--after-release"),
                          (args.new_signing_key or None, "--new-signing-key")]:
        if given is not None and not key:
            raise PublishError(f"{option} is for a signed release: add --signing-key KEYFILE")
    client = make_client(args)
    # Before a large file is read and sent: do the credentials work, is the bucket there, is its
    # release signed, and may they write it?
    with storage(f"checking bucket {BUCKET}", args):
        client.head_bucket(Bucket=BUCKET)
    data = read_object(client, args, STATEMENT_KEY)
    if data is not None and not key and not args.unsigned:
        raise PublishError(
            f"the store holds {STATEMENT_KEY}, a signed release: a module built with a release key "
            f"refuses a release without one. Publish with --signing-key KEYFILE (or, to publish "
            f"unsigned and remove {STATEMENT_KEY}, with --unsigned); nothing was uploaded")
    current = current_statement(data)
    if key:
        record = read_record(client, args)
        rotation = check_signing_key(args, key, current, record)
        release = next_release(args, current, record)
        expires = expiry_date(args, current)
    with open(path, "rb") as file:
        digest = hashlib.file_digest(file, "sha256").hexdigest()
    # Signed, the store's statement must state it; unsigned, the store must hold none.
    stated = current is not None and (current.sha256, current.size) == (digest, size)
    if (stated if key else data is None) and already_published(client, args, digest, size):
        what = f"release {current.release}" if key else "the published release"
        print(f"{path} is already {what} ({size} bytes, sha256 {digest}): nothing was changed. "
              f"`refresh` signs it again (a new expiry, or with --new-signing-key a new key)")
        return 0
    check_writable(client, args)
    statement = release_statement.make(key, digest, size, release, expires) if key else None
    if key:
        import patches
        with storage("reading the executables to patch from", args, EXE_KEY, then="; nothing was published"):
            bases = patches.bases(client, digest, args.patch_from)

    # The executable goes first and its digest last. A client that checks in between compares
    # with the old digest: with the old executable it finds them identical and keeps it; a
    # client that downloads then gets the new executable, and the next check finds it current.
    with storage(f"upload of {EXE_KEY}", args, EXE_KEY, then="; nothing was published"):
        progress = Progress(size, "Uploading")
        client.upload_file(path, BUCKET, EXE_KEY, Callback=progress)
        progress.finish()
    then = (f"; {EXE_KEY} was uploaded, but clients keep their executable until its digest is "
            f"published: run publish again")
    # Before the statement, the patches to it: a client that reads the statement finds them.
    if key:
        with storage("upload of the patches", args, then=then):
            patched = patches.upload(client, path, bases)
    # Before the digest: no client ever sees a new digest with the old statement; and the number
    # is recorded before any statement bears it, so that it is never used again.
    if statement:
        write_record(client, args, Record(release, key.verify_key.encode().hex()), then)
        with storage(f"upload of {STATEMENT_KEY}", args, STATEMENT_KEY, then=then):
            client.put_object(Bucket=BUCKET, Key=STATEMENT_KEY, Body=statement)
    elif data is not None:
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
    if key:
        with storage("removing the patches to earlier releases", args):
            patches.prune(client, patched)
        for base, patch_size in patched.items():
            print(f"Patch from sha256 {base}: {patch_size} bytes")
    if statement:
        if rotation:
            warn(rotation)
        parsed = release_statement.parse(statement)
        print(f"Published {path}: {size} bytes, sha256 {digest}, release {parsed.release}, "
              f"expires {parsed.expiry}")
    else:
        print(f"Published {path}: {size} bytes, sha256 {digest}, unsigned")
    return 0


def already_published(client, args, digest, size):
    """Whether the store's exe_hash is `digest` and its executable `size` bytes long."""
    if read_object(client, args, HASH_KEY) != digest.encode():
        return False
    try:
        with storage(f"reading the size of {EXE_KEY}", args, EXE_KEY):
            return client.head_object(Bucket=BUCKET, Key=EXE_KEY)["ContentLength"] == size
    except PublishError as error:
        if error_code(error.__cause__) in ("NoSuchKey", "404"):
            return False
        raise


def write_record(client, args, record, then):
    with storage(f"upload of {RECORD_KEY}", args, RECORD_KEY, then=then):
        client.put_object(Bucket=BUCKET, Key=RECORD_KEY, Body=bytes(record))


def refresh(args):
    """The current release's statement again, with a new expiry or key; with a new key, under
    the next number, so that every bot sees it as newer than what it has."""
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
    record = read_record(client, args)
    rotation = check_signing_key(args, key, old, record)
    with storage(f"reading {HASH_KEY}", args, HASH_KEY):
        digest = client.get_object(Bucket=BUCKET, Key=HASH_KEY)["Body"].read()
    with storage(f"reading the size of {EXE_KEY}", args, EXE_KEY):
        size = client.head_object(Bucket=BUCKET, Key=EXE_KEY)["ContentLength"]
    if digest != old.sha256.encode() or size != old.size:
        what = (f"{HASH_KEY} is not its digest" if digest != old.sha256.encode()
                else f"{EXE_KEY} holds {size} bytes, not its {old.size}")
        raise PublishError(f"the store no longer holds release {old.release} ({what}): publish the "
                           f"release with `publish --signing-key KEYFILE PATH`; nothing was changed")
    head = b""
    if size and not args.not_a_windows_program:
        with storage(f"reading the headers of {EXE_KEY}", args, EXE_KEY):
            head = client.get_object(Bucket=BUCKET, Key=EXE_KEY,
                                     Range=f"bytes=0-{HEAD_BYTES - 1}")["Body"].read()
    check_program(args, f"the store's {EXE_KEY} (release {old.release})", head, size,
                  " with `publish --signing-key KEYFILE PATH`; nothing was changed")
    release = next_release(args, old, record) if rotation else old.release
    statement = release_statement.make(key, old.sha256, old.size, release, expiry_date(args, old))
    then = f"; release {old.release} still expires {old.expiry}"
    given = Record(max(release, record.release if record else 0), key.verify_key.encode().hex())
    if given != record:
        write_record(client, args, given, then)
    with storage(f"upload of {STATEMENT_KEY}", args, STATEMENT_KEY, then=then):
        client.put_object(Bucket=BUCKET, Key=STATEMENT_KEY, Body=statement)
    if read_object(client, args, STATEMENT_KEY) != statement:
        raise PublishError(f"{STATEMENT_KEY} does not hold the statement just written: refresh again")
    expires = release_statement.parse(statement).expiry
    if rotation:
        warn(rotation)
        print(f"Signed release {old.release} again with the new key as release {release}: expires "
              f"{expires} (was {old.expiry})")
    else:
        print(f"Refreshed release {old.release}: expires {expires} (was {old.expiry})")
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
        head = file.read(HEAD_BYTES)
        file.seek(0)
        digest = hashlib.file_digest(file, "sha256").hexdigest()
    problem = None if args.not_a_windows_program else not_a_program(head, size)
    if problem:
        print(f"NOT OK: {EXE_KEY} is {problem}: the bots cannot start it, and a bot that installs it "
              f"is left without one. Publish the bot's own {EXE_KEY}, a 64-bit Windows program, with "
              f"`python publisher/publisher.py publish PATH-TO-{EXE_KEY}`.")
        return 1
    problem = diagnose(published, digest)
    if problem:
        print(f"NOT OK: {problem}.\n  executable sha256: {digest}\n  exe_hash holds:    {published!r}\n"
              f"Until this is mended every client downloads the bot on every start. Publish the "
              f"release again with `python publisher/publisher.py publish PATH-TO-{EXE_KEY}` "
              f"(it writes exe_hash as the 64 digits alone), then run verify again.")
        return 1
    if key:
        statement = read_object(client, args, STATEMENT_KEY)
        problem, fix = statement_problem(client, args, key, statement, digest, size)
        if problem:
            print(f"NOT OK: {problem}: a module built with this key refuses the update. {fix}")
            return 1
        parsed = release_statement.parse(statement)
        print(f"OK: {STATEMENT_KEY} is release {parsed.release} of this executable, signed by this "
              f"key, expires {parsed.expiry}")
        import patches
        with storage("reading the patches", args):
            found, problems = patches.check(client, size, digest, args.patch_from)
        for problem in problems:
            print(f"NOT OK: {problem}: the bots it is for download the whole executable. Publish the "
                  f"release again, with --patch-from for the earlier executables, to make it anew.")
        if problems:
            return 1
        print(f"OK: {found} patches to this release")
    print(f"OK: {EXE_KEY} ({size} bytes) matches exe_hash {digest}")
    return 0


def statement_problem(client, args, key, data, digest, size):
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
        # The record may name the key that signed it; a reader with the module's keys may not
        # read the record, and does without.
        try:
            signer = trusted_key(statement, read_record(client, args))
        except PublishError:
            signer = None
        given = key.encode().hex()
        return (f"{STATEMENT_KEY} (release {statement.release}) is signed, but by "
                f"{f'the key {signer}' if signer else 'another key'}, not by {given}"), (
                f"Sign it with the key file of {given}: `python publisher/publisher.py refresh "
                f"--signing-key KEYFILE --new-signing-key`.")
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
        print(f"  spare key:   {spare_key(data)}")
        if default_secret.encode() + b"\0" in data or default_id.encode() + b"\0" in data:
            print("  keys:        WARNING: the repository's default keys. They are public: anyone can "
                  "sign requests with them. Build with your own UPDATER_ACCESS_KEY_ID and "
                  "UPDATER_SECRET_ACCESS_KEY (read-only keys of your store) before shipping.")
        else:
            print("  keys:        the build's own, not the repository's defaults (the secret is not shown)")
    return 0


# The build's release public key and its spare: "release-public-key=" or "spare-public-key="
# then 64 hexadecimal digits, or nothing for none, as NUL-terminated strings.
def built_keys(data, name):
    """The keys a module's bytes record under `name`, lower-case: [] when it records none, [""]
    for a build without such a key."""
    marker = re.compile(name.encode() + rb"=([0-9A-Fa-f]{64}|)\0")
    return sorted({m[1].decode().lower() for m in marker.finditer(data)})


def release_key(data):
    """What inspect says of the release public key a module's bytes trust."""
    keys = built_keys(data, "release-public-key")
    if not keys:
        return "not recorded (a build made before modules recorded it)"
    if keys == [""]:
        return "none: this build installs releases without a signature"
    return f"{', '.join(keys)} (only releases signed with its private key install)"


def spare_key(data):
    """What inspect says of the spare public key, which retires the release key once a release
    signed by it is installed."""
    keys = built_keys(data, "spare-public-key")
    if not keys:
        return "not recorded (a build made before modules took a spare key)"
    if keys == [""]:
        return "none"
    return (f"{', '.join(keys)} (a release signed with its private key installs too, and from then "
            f"on only the spare's)")


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


# The first line of each key file keygen writes, saying what the file holds. A file of the 64
# digits alone is a secret key written before key files said so.
SECRET_KEY_FILE = f"{BUCKET} release signing key: secret, keep it offline"
PUBLIC_KEY_FILE = f"{BUCKET} release public key"


def read_key_file(path):
    """(the first line that says what it is, or None for the digits alone; the 32 bytes)."""
    try:
        with open(path, encoding="ascii") as file:
            lines = file.read().strip().splitlines()
        kind = lines[0] if len(lines) == 2 and lines[0] in (SECRET_KEY_FILE, PUBLIC_KEY_FILE) else None
        value = bytes.fromhex(lines[-1]) if len(lines) == 1 + (kind is not None) else b""
    except (OSError, ValueError) as error:
        raise PublishError(f"cannot read the key file {path}: {one_line(error)}") from error
    if len(value) != 32:
        raise PublishError(f"{path} is not a key file written by keygen")
    return kind, value


def signing_key(path):
    """The private key of a key file written by keygen: its 32-byte seed in hexadecimal."""
    kind, seed = read_key_file(path)
    if kind == PUBLIC_KEY_FILE:
        raise PublishError(f"{path} holds the release public key {seed.hex()}, which bundles are built "
                           f"with, not a signing key: pass the secret key file keygen wrote beside it")
    import nacl.signing

    return nacl.signing.SigningKey(seed)


def keygen(args):
    import nacl.signing

    key = nacl.signing.SigningKey.generate()
    public = key.verify_key.encode().hex()
    written = []
    # Readable by its owner only from the moment it exists; an existing file is never replaced.
    for path, content in [(args.keyfile, f"{SECRET_KEY_FILE}\n{key.encode().hex()}\n"),
                          (f"{args.keyfile}.pub", f"{PUBLIC_KEY_FILE}\n{public}\n")]:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        except FileExistsError:
            for done in written:
                os.remove(done)
            raise PublishError(f"{path} exists: not replacing a key") from None
        except OSError as error:
            raise PublishError(f"cannot write {path}: {error}") from error
        with os.fdopen(fd, "w", encoding="ascii") as file:
            file.write(content)
        written.append(path)
    setting = "UPDATER_SPARE_PUBLIC_KEY" if args.spare else "UPDATER_RELEASE_PUBLIC_KEY"
    use = ("Keep it offline and never publish with it until the release key is lost or leaked "
           "(docs/publishing.md, \"Rotating the release key\"). " if args.spare else "")
    print(f"Wrote the secret key to {args.keyfile} (keep it offline, never in the store) and its "
          f"public key to {args.keyfile}.pub. {use}Build bundles with {setting} set to this public "
          f"key:", file=sys.stderr)
    print(public)
    return 0


def verify_key(args):
    """The public key verify checks the signature with, if one is given: 64 hexadecimal digits
    or a public key file of keygen."""
    if args.signing_key:
        return signing_key(args.signing_key).verify_key
    if args.public_key:
        import nacl.signing

        value = args.public_key
        if not re.fullmatch("[0-9A-Fa-f]{64}", value) and os.path.isfile(value):
            kind, key = read_key_file(value)
            if kind != PUBLIC_KEY_FILE:
                raise PublishError(f"{value} is not a public key file: --public-key takes the "
                                   f"64 digits keygen printed, or the .pub file it wrote")
            value = key.hex()
        try:
            key = nacl.signing.VerifyKey(bytes.fromhex(value))
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
         "Write a new Ed25519 secret key to KEYFILE and its public key to KEYFILE.pub (readable "
         "by their owner only; an existing file is never replaced; each says on its first line "
         "what it holds) and print the public key, the module's UPDATER_RELEASE_PUBLIC_KEY (or "
         "with --spare its UPDATER_SPARE_PUBLIC_KEY), as the last line."),
        ("inspect", inspect, "say what a wheel or bundle was built for",
         ("PATH", "a wheel, bundle folder, zip or module"),
         "Read the endpoint and the release public key (or none) from a built module (a wheel, "
         "a bundle folder or its zip, or the .pyd), and say whether its keys are the "
         "repository's public defaults. The secret is never printed."),
    ]:
        sub = command(name, run, help, storage=False, path=path, description=description)
        if name == "keygen":
            sub.add_argument("--spare", action="store_true",
                             help="the spare key, built into bundles beside the release key and "
                                  "kept offline until a rotation (docs/publishing.md)")

    def checks(parser, expires_default):
        parser.add_argument("--expires-in", metavar="DAYS",
                            help="the release expires at the end of the UTC day DAYS days from "
                                 "today (1 to 36500), or with `never` never: modules refuse it "
                                 f"afterwards (default: {expires_default})")
        parser.add_argument("--not-a-windows-program", action="store_true",
                            help="take a file that is not a 64-bit Windows program (the tests' and "
                                 "the Linux demo's shell scripts); a real bot never needs it")

    def new_key(parser):
        parser.add_argument("--new-signing-key", action="store_true",
                            help="sign with a key other than the one that signed the store's "
                                 "release, on purpose (a lost or leaked key, or the bundles' spare): "
                                 "bundles that do not trust it refuse the release")

    publish_parser = command(
        "publish", publish, "upload an executable and its digest",
        path=("PATH", f"the {EXE_KEY} to publish"),
        description=f"Upload the executable as {EXE_KEY}, then, with --signing-key, its "
                    "release statement as exe_hash.sig (the next release number), then its "
                    "SHA-256 as exe_hash, and read them back. The bucket and the credentials "
                    "are checked first. Only a 64-bit Windows program is taken; a signed release "
                    "only with the key that signed the store's release. Publishing an older "
                    "executable again makes a new release: that is how to roll back; the "
                    "executable that is already published changes nothing.")
    signed = publish_parser.add_mutually_exclusive_group()
    signed.add_argument("--signing-key", metavar="KEYFILE",
                        help="sign the release with this key (from keygen) and upload its "
                             "statement as exe_hash.sig, before the digest")
    publish_parser.add_argument(
        "--patch-from", metavar="FILE", action="append", default=[],
        help="with --signing-key, also store the patch from this earlier executable (repeat it "
             "for several; the patch from the store's current executable is always made)")
    signed.add_argument("--unsigned", action="store_true",
                        help="publish without a statement where one was published before, "
                             "removing exe_hash.sig: modules built with a release key refuse it")
    checks(publish_parser, "the store's release's")
    new_key(publish_parser)
    publish_parser.add_argument(
        "--after-release", metavar="N",
        help="number the release N+1 (N: the highest release the bots may have), for a new or "
             "emptied bucket; never lower than the store's own numbers (default: one more than "
             "the highest release number this store has used)")

    refresh_parser = command(
        "refresh", refresh, "sign the current release again with a new expiry",
        description="Sign the published release's statement again with a new expiry, keeping "
                    "its release number, digest and size; the executable is not uploaded. With "
                    "--new-signing-key, sign it with another key under the next number. Refused "
                    "when there is no statement, another key signed it, or exe_hash or the "
                    "executable's size no longer match it.")
    refresh_parser.add_argument("--signing-key", metavar="KEYFILE", required=True,
                                help="the key (from keygen) that signed the release")
    checks(refresh_parser, "the release's own")
    new_key(refresh_parser)

    verify_parser = command(
        "verify", verify, "check the published executable against exe_hash",
        description="Download the published executable, hash it and say what is wrong with "
                    "exe_hash when they do not match; with a key, check the release statement "
                    "exe_hash.sig too and show its release number and expiry. Exit status 1 "
                    "when anything is wrong.")
    verify_keys = verify_parser.add_mutually_exclusive_group()
    verify_keys.add_argument("--public-key", metavar="HEX",
                             help="also check exe_hash.sig against this public key (64 hex digits, "
                                  "or keygen's KEYFILE.pub)")
    verify_keys.add_argument("--signing-key", metavar="KEYFILE",
                             help="also check exe_hash.sig against this key file's public key")
    verify_parser.add_argument(
        "--patch-from", metavar="FILE", action="append", default=[],
        help="with a key, also apply the store's patch from this earlier executable to it and "
             "check that it makes the release (repeat it for several)")
    verify_parser.add_argument("--not-a-windows-program", action="store_true",
                               help="take a published file that is not a 64-bit Windows program "
                                    "(the tests' and the Linux demo's); a real bot never needs it")

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


def check_numbers(args):
    """--expires-in and --after-release as numbers, refused in the tool's one line (argparse's
    refusal is a usage block and status 2)."""
    text = getattr(args, "expires_in", None)
    if text is not None and text != "never":
        if not re.fullmatch("[0-9]{1,5}", text) or not 1 <= int(text) <= 36500:
            raise PublishError(f"--expires-in {text}: give a number of days from 1 to 36500, or "
                               f"never (leaving it out keeps the store's release's expiry)")
        args.expires_in = int(text)
    text = getattr(args, "after_release", None)
    if text is not None:
        highest = release_statement.MAX_NUMBER
        if not re.fullmatch(f"0|{release_statement.NUMBER}", text) or int(text) >= highest:
            raise PublishError(f"--after-release {text}: give the highest release number the bots "
                               f"may have, from 0 to {highest - 1}")
        args.after_release = int(text)


def main(argv=None):
    args = command_line().parse_args(argv)
    try:
        check_numbers(args)
        check_dependencies(args)
        return args.run(args)
    except StatementError as error:
        # A value no statement can hold; each command refuses what it knows of before this.
        end_bar()
        print(f"error: the release statement cannot be written: {error}; nothing was changed",
              file=sys.stderr)
        return 1
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
