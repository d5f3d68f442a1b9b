"""What the store holds, checked and shown: verify downloads the executable and checks the
digest and the statement against a key, or against the keys a shipped bundle trusts; status
shows the current release without downloading the executable."""

from __future__ import annotations

import hashlib
import tempfile
from pathlib import Path

import release_statement
from built_module import built_keys, module_files
from failures import PublishError
from program_check import HEAD_BYTES, not_a_program
from project import BUCKET, DIGEST_OBJECT, EXE_NAME, STATEMENT_OBJECT
from release_record import HIGHEST_RELEASE, RECORD_KEY, current_statement, read_record
from release_statement import StatementError
from signing_keys import named, public_key, trusted_key, verify_key
from store import (Progress, diagnose, make_client, published_program, published_size,
                   read_object, storage)


def bundle_keys(folder):
    """[(role, VerifyKey)] of the keys the updater_core module in `folder` (a bundle, a wheel,
    its zip) trusts: its release key and its spare; [] for a build that installs releases
    without a signature."""
    modules = module_files(Path(folder))
    if not modules:
        raise PublishError(f"{folder} holds no updater_core module (a bundle folder, its zip or a "
                           f"wheel)")
    keys = []
    for role, marker in [("its release key", "release-public-key"), ("its spare key", "spare-public-key")]:
        found = sorted({key for _, data in modules for key in built_keys(data, marker)})
        if role == "its release key" and not found:
            raise PublishError(f"the module in {folder} does not record the keys it trusts (a build "
                               f"made before modules recorded them): verify with --public-key")
        keys += [(f"{role} {named(key)}", public_key(key)) for key in found if key]
    return keys


def verify(args):
    if args.bundle:
        keys, who = bundle_keys(args.bundle), f"the bots of {args.bundle} refuse"
        if not keys:
            print(f"NOTE: {args.bundle} trusts no release key: its bots install any release, signed "
                  f"or not")
    else:
        key = verify_key(args)
        keys, who = [("this key", key)] if key else [], "a module built with this key refuses"
    client = make_client(args)
    with storage(f"reading {DIGEST_OBJECT}", args, DIGEST_OBJECT):
        published = client.get_object(Bucket=BUCKET, Key=DIGEST_OBJECT)["Body"].read()
    with storage(f"reading the size of {EXE_NAME}", args, EXE_NAME):
        size = client.head_object(Bucket=BUCKET, Key=EXE_NAME)["ContentLength"]
    with tempfile.TemporaryFile() as file:
        with storage(f"download of {EXE_NAME}", args, EXE_NAME):
            progress = Progress(size, "Downloading")
            client.download_fileobj(BUCKET, EXE_NAME, file, Callback=progress)
            progress.finish()
        size = file.tell()
        file.seek(0)
        head = file.read(HEAD_BYTES)
        file.seek(0)
        digest = hashlib.file_digest(file, "sha256").hexdigest()
    problem = None if args.not_a_windows_program else not_a_program(head, size)
    if problem:
        print(f"NOT OK: {EXE_NAME} is {problem}: the bots cannot start it, and a bot that installs it "
              f"is left without one. Publish the bot's own {EXE_NAME}, a 64-bit Windows program, with "
              f"`python publisher/publisher.py publish PATH-TO-{EXE_NAME}`.")
        return 1
    problem = diagnose(published, digest)
    if problem:
        print(f"NOT OK: {problem}.\n  executable sha256: {digest}\n  {DIGEST_OBJECT} holds:    {published!r}\n"
              f"Until this is mended every client downloads the bot on every start. Publish the "
              f"release again with `python publisher/publisher.py publish PATH-TO-{EXE_NAME}` "
              f"(it writes {DIGEST_OBJECT} as the 64 digits alone), then run verify again.")
        return 1
    if keys:
        statement = read_object(client, args, STATEMENT_OBJECT)
        problem, fix, signer = statement_problem(client, args, keys, statement, digest, size)
        if problem:
            print(f"NOT OK: {problem}: {who} the update. {fix}")
            return 1
        parsed = release_statement.parse(statement)
        print(f"OK: {STATEMENT_OBJECT} is release {parsed.release} of this executable, signed by "
              f"{signer}, expires {parsed.expiry}")
        import patches
        with storage("reading the patches", args):
            found, problems = patches.check(client, size, digest, args.patch_from)
        for problem in problems:
            print(f"NOT OK: {problem}: the bots it is for download the whole executable. Publish the "
                  f"release again, with --patch-from for the earlier executables, to make it anew.")
        if problems:
            return 1
        print(f"OK: {found} patches to this release")
    print(f"OK: {EXE_NAME} ({size} bytes) matches {DIGEST_OBJECT} {digest}")
    return 0


def statement_problem(client, args, keys, data, digest, size):
    """(what is wrong with the statement `data` of the executable, what to do, None), or (None,
    None, the role of the key of `keys` that signed it)."""
    publish_signed = ("Publish the release signed: `python publisher/publisher.py publish --signing-key "
                      f"KEYFILE PATH-TO-{EXE_NAME}`.")
    if data is None:
        return f"there is no {STATEMENT_OBJECT}", publish_signed, None
    try:
        statement = release_statement.parse(data)
    except StatementError as error:
        return f"{STATEMENT_OBJECT} is not a release statement: {error}", publish_signed, None
    signer = next((role for role, key in keys if statement.signed_by(key)), None)
    if signer is None:
        # The record may name the key that signed it; a reader with the module's keys may not
        # read the record, and does without.
        try:
            recorded = trusted_key(statement, read_record(client, args))
        except PublishError:
            recorded = None
        given = " or ".join(named(key.encode().hex()) for _, key in keys)
        return (f"{STATEMENT_OBJECT} (release {statement.release}) is signed, but by "
                f"{f'the key {named(recorded)}' if recorded else 'another key'}, not by {given}"), (
                f"Sign it with the key file of {given}: `python publisher/publisher.py refresh "
                f"--signing-key KEYFILE --new-signing-key`."), None
    if statement.release > HIGHEST_RELEASE:
        return (f"{STATEMENT_OBJECT} is release {statement.release}, numbered above {HIGHEST_RELEASE}, "
                f"which a new installation refuses"), publish_signed, None
    if statement.sha256 != digest or statement.size != size:
        return (f"{STATEMENT_OBJECT} (release {statement.release}) is the statement of another "
                f"executable ({statement.size} bytes, sha256 {statement.sha256})"), publish_signed, None
    if statement.expired():
        return (f"release {statement.release} expired at the end of {statement.expiry} (UTC)",
                "Sign it again with a new expiry: `python publisher/publisher.py refresh --signing-key "
                "KEYFILE --expires-in DAYS`.", None)
    return None, None, signer


def status(args):
    """The current release as the store holds it, from its small objects and the executable's
    headers: nothing large is downloaded."""
    client = make_client(args)
    data = read_object(client, args, STATEMENT_OBJECT)
    statement = current_statement(data)
    record = read_record(client, args)
    digest = read_object(client, args, DIGEST_OBJECT)
    size = published_size(client, args)
    program = published_program(client, args)
    print(f"Bucket {BUCKET} at {args.endpoint}:")
    if statement is not None:
        signer = trusted_key(statement, record)
        print(f"  release:    {statement.release}, expires {statement.expiry}"
              f"{' (expired)' if statement.expired() else ''}")
        print(f"  signed by:  {named(signer) if signer else f'a key {RECORD_KEY} does not name'}")
    elif data is not None:
        print(f"  release:    {STATEMENT_OBJECT} is not a release statement")
    else:
        print(f"  release:    unsigned (no {STATEMENT_OBJECT})")
    if size is None:
        print(f"  program:    none ({EXE_NAME} is not published)")
    else:
        print(f"  program:    {size} bytes, {program if program else 'not a Windows program'}")
    if digest is None:
        print(f"  digest:     none ({DIGEST_OBJECT} is not published)")
    else:
        text = digest.decode("ascii", "replace")
        stated = statement is None or (statement.sha256.encode(), statement.size) == (digest, size)
        print(f"  digest:     {text[:80]}{'' if stated else f' (not the one {STATEMENT_OBJECT} states)'}")
    if record is None:
        print(f"  record:     none ({RECORD_KEY}: no signed release was published here)")
    else:
        print(f"  record:     release {record.release} used last, key "
              f"{named(record.key) if record.key else 'none'}")
    return 0
