"""The publish command: what it ships, shown first; every check that can refuse it, before
anything is written; then the executable, the record and statement, and the digest last, each
read back."""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass

import release_statement
from failures import PublishError, warn
from program_check import HEAD_BYTES, Identity, check_program, identify, local_reader
from project import BUCKET, DIGEST_OBJECT, EXE_NAME, STATEMENT_OBJECT
from release_record import (Record, current_statement, expiry_date, next_release, read_record,
                            write_record)
from signing_keys import check_signing_key, named, signing_key
from store import (Progress, already_published, check_writable, diagnose, make_client,
                   published_program, read_object, storage)

# Which bots install a release published without a statement.
UNSIGNED_NOTE = ("bundles built with a release public key refuse it; only those built without "
                 "one install it")


@dataclass(frozen=True)
class Program:
    """The local file to publish, as checked: its path, size, SHA-256 and what it says it is
    (None for a file taken as not a Windows program)."""

    path: str
    size: int
    digest: str
    identity: Identity | None


def local_program(args) -> Program:
    """The file to publish, refused unless it is a 64-bit Windows program, and shown."""
    path = args.path
    if not os.path.isfile(path):
        raise PublishError(f"{path} is not a file")
    size = os.path.getsize(path)
    with open(path, "rb") as file:
        check_program(args, path, file.read(HEAD_BYTES), size, "; nothing was uploaded")
        file.seek(0)
        digest = hashlib.file_digest(file, "sha256").hexdigest()
    identity = None if args.not_a_windows_program else identify(local_reader(path), size)
    what = "taken as not a Windows program" if identity is None else str(identity)
    print(f"{path}: {what}; {size} bytes, sha256 {digest}", flush=True)
    return Program(path, size, digest, identity)


@dataclass(frozen=True)
class Signed:
    """How a signed release is made: its key, number and expiry, the record it leaves, and what
    a change of key means for the bundles (None when the key stays)."""

    key: object
    release: int
    expires: object
    record: Record
    rotation: str | None


def signed_release(client, args, key, current) -> Signed:
    """The number and expiry of a release signed with `key` over the store's statement
    `current`, refused where the store cannot tell how to number it."""
    record = read_record(client, args)
    rotation = check_signing_key(args, key, current, record)
    if current is None and record is None and args.after_release is None:
        raise PublishError(
            "this store holds no release statement and no record of release numbers (a new or "
            "emptied bucket), so it cannot tell which releases the bots have: give --after-release "
            "N, N being the highest release the bots may have (0 for a first release ever); "
            "nothing was uploaded")
    release = next_release(args, current, record)
    return Signed(key, release, expiry_date(args, current),
                  Record(release, key.verify_key.encode().hex()), rotation)


def check_same_program(client, args, program):
    """Refuses a program whose product name or original file name is not the published
    release's, unless --new-program says that the bot's program changes on purpose."""
    if program.identity is None or args.new_program:
        return
    published = published_program(client, args)
    if published is not None and published.differs(program.identity):
        raise PublishError(
            f"{program.path} is another program than the published release: it says "
            f"{program.identity}, the store's {EXE_NAME} says {published}. Every bot would be "
            f"replaced by it. Publish the bot's own program, or add --new-program if the bot's "
            f"product name or file name changes on purpose; nothing was uploaded")


def publish(args):
    program = local_program(args)
    key = signing_key(args.signing_key) if args.signing_key else None
    for given, option in [(args.expires_in, "--expires-in"), (args.after_release, "--after-release"),
                          (args.new_signing_key or None, "--new-signing-key")]:
        if given is not None and not key:
            raise PublishError(f"{option} is for a signed release: add --signing-key KEYFILE")
    client = make_client(args)
    # Before a large file is sent: do the credentials work, is the bucket there, is its release
    # signed, is this the bot's program, and may they write it?
    with storage(f"checking bucket {BUCKET}", args):
        client.head_bucket(Bucket=BUCKET)
    data = read_object(client, args, STATEMENT_OBJECT)
    if data is not None and not key and not args.unsigned:
        raise PublishError(
            f"the store holds {STATEMENT_OBJECT}, a signed release: a module built with a release key "
            f"refuses a release without one. Publish with --signing-key KEYFILE (or, to publish "
            f"unsigned and remove {STATEMENT_OBJECT}, with --unsigned); nothing was uploaded")
    current = current_statement(data)
    signed = signed_release(client, args, key, current) if key else None
    # Signed, the store's statement must state it; unsigned, the store must hold none.
    stated = current is not None and (current.sha256, current.size) == (program.digest, program.size)
    if (stated if key else data is None) and already_published(client, args, program.digest,
                                                                   program.size):
        what = f"release {current.release}" if key else "the published release"
        print(f"{program.path} is already {what}: nothing was changed. `refresh` signs it again (a "
              f"new expiry, or with --new-signing-key a new key)")
        return 0
    check_same_program(client, args, program)
    statement = (release_statement.make(key, program.digest, program.size, signed.release,
                                        signed.expires) if key else None)
    if args.dry_run:
        print(f"Dry run: every check passed; publish would upload {EXE_NAME} ({program.size} bytes), "
              f"then {what_is_published(statement, key)}, then {DIGEST_OBJECT}. Whether these keys "
              f"may write the bucket is not tried. Nothing was uploaded")
        return 0
    check_writable(client, args)
    if key:
        import patches
        with storage("reading the executables to patch from", args, EXE_NAME,
                     then="; nothing was published"):
            bases = patches.bases(client, program.digest, args.patch_from)

    # The executable goes first and its digest last. A client that checks in between compares
    # with the old digest: with the old executable it finds them identical and keeps it; a
    # client that downloads then gets the new executable, and the next check finds it current.
    with storage(f"upload of {EXE_NAME}", args, EXE_NAME, then="; nothing was published"):
        progress = Progress(program.size, "Uploading")
        client.upload_file(program.path, BUCKET, EXE_NAME, Callback=progress)
        progress.finish()
    then = (f"; {EXE_NAME} was uploaded, but clients keep their executable until its digest is "
            f"published: run publish again")
    # Before the statement, the patches to it: a client that reads the statement finds them.
    if key:
        with storage("upload of the patches", args, then=then):
            patched = patches.upload(client, program.path, bases)

    # Before the digest: no client ever sees a new digest with the old statement; and the number
    # is recorded before any statement bears it, so that it is never used again.
    if statement:
        write_record(client, args, signed.record, then)
        with storage(f"upload of {STATEMENT_OBJECT}", args, STATEMENT_OBJECT, then=then):
            client.put_object(Bucket=BUCKET, Key=STATEMENT_OBJECT, Body=statement)
    elif data is not None:
        with storage(f"removing {STATEMENT_OBJECT}", args, STATEMENT_OBJECT, then=then):
            client.delete_object(Bucket=BUCKET, Key=STATEMENT_OBJECT)
    with storage(f"upload of {DIGEST_OBJECT}", args, DIGEST_OBJECT, then=then):
        client.put_object(Bucket=BUCKET, Key=DIGEST_OBJECT, Body=program.digest.encode("ascii"))
    read_back(client, args, program, statement)
    if key:
        with storage("removing the patches to earlier releases", args):
            patches.prune(client, patched)
        for base, patch_size in patched.items():
            print(f"Patch from sha256 {base}: {patch_size} bytes")

    if statement:
        if signed.rotation:
            warn(signed.rotation)
        parsed = release_statement.parse(statement)
        print(f"Published {program.path}: {program.size} bytes, sha256 {program.digest}, release "
              f"{parsed.release}, expires {parsed.expiry}")
    else:
        print(f"Published {program.path}: {program.size} bytes, sha256 {program.digest}, unsigned: "
              f"{UNSIGNED_NOTE}")
    return 0


def what_is_published(statement, key):
    """The statement a publish writes, in words."""
    if statement is None:
        return f"no {STATEMENT_OBJECT}, unsigned ({UNSIGNED_NOTE})"
    parsed = release_statement.parse(statement)
    return (f"{STATEMENT_OBJECT} as release {parsed.release}, expires {parsed.expiry}, signed by the "
            f"key {named(key.verify_key.encode().hex())}")


def read_back(client, args, program, statement):
    """Refuses what the store does not hold as it was written."""
    with storage("reading back what was published", args, EXE_NAME):
        published_size = client.head_object(Bucket=BUCKET, Key=EXE_NAME)["ContentLength"]
    with storage("reading back what was published", args, DIGEST_OBJECT):
        published_digest = client.get_object(Bucket=BUCKET, Key=DIGEST_OBJECT)["Body"].read()
    if published_size != program.size:
        raise PublishError(f"{EXE_NAME} holds {published_size} bytes, not {program.size}: publish again")
    problem = diagnose(published_digest, program.digest)
    if problem:
        raise PublishError(problem)
    if statement and read_object(client, args, STATEMENT_OBJECT) != statement:
        raise PublishError(f"{STATEMENT_OBJECT} does not hold the statement just written: publish again")
