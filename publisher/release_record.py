"""The release record and numbering: the publisher's own object in the bucket (the module never
reads it), which keeps the last release number used and the public key of the last signed
release, so that numbers never go back, whatever replaced or removed the statement in between,
and a refusal can name the key the bots trust; and the rule that numbers a new release."""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass

import release_statement
from failures import PublishError
from project import BUCKET, STATEMENT_OBJECT
from release_statement import StatementError
from store import read_object, storage

RECORD_KEY = "publisher.record"

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


def parse_record(data: bytes | None) -> Record | None:
    """The record in `data` (None: there is none); PublishError when it is damaged."""
    if data is None:
        return None
    match = RECORD.fullmatch(data.decode("ascii", "replace"))
    if not match:
        raise PublishError(
            f"{RECORD_KEY}, this tool's record of the last release number, is damaged: remove it and "
            f"publish with --after-release N, N being the highest release the bots may have; nothing "
            f"was changed")
    return Record(int(match[1]), None if match[2] == "none" else match[2])


def read_record(client, args):
    return parse_record(read_object(client, args, RECORD_KEY))


def write_record(client, args, record, then):
    with storage(f"upload of {RECORD_KEY}", args, RECORD_KEY, then=then):
        client.put_object(Bucket=BUCKET, Key=RECORD_KEY, Body=bytes(record))


def current_statement(data):
    """The store's statement, or None when there is none or it is not one."""
    try:
        return release_statement.parse(data) if data is not None else None
    except StatementError:
        return None


def highest_used(current, record) -> int:
    """The highest number the store has used: its statement's or its record's, else 0."""
    return max(current.release if current else 0, record.release if record else 0)


def following(current, record) -> int:
    """The number of a new release: one more than any the store has used, whoever signed it
    (numbering goes on across a key rotation)."""
    return highest_used(current, record) + 1


def next_release(args, current, record):
    """One more than any number the store has used, or than --after-release: never lower."""
    used = highest_used(current, record)
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
            f"{STATEMENT_OBJECT} and {RECORD_KEY} and publish with --after-release N, N being the "
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
