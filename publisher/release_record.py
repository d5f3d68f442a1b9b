"""The release record and numbering: the publisher's own object in the bucket (the module never
reads it), which keeps the last release number used and the public key of the last signed
release, so that numbers never go back, whatever replaced or removed the statement in between,
and a refusal can name the key the bots trust; and the rule that numbers a new release.

A bot folder refuses a release numbered more than the longest leap above the number it records
for the same key, and more than the leap above 0 where it records none (a new installation) or
another key's. So a release is never numbered above the leap itself: a new installation would
refuse it.
"""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass

import release_statement
from failures import PublishError
from project import BUCKET, LONGEST_RELEASE_LEAP, STATEMENT_OBJECT
from release_statement import StatementError
from store import read_object, storage

RECORD_KEY = "publisher.record"
# The highest number a release may bear: every bot folder takes it, a new installation too.
HIGHEST_RELEASE = LONGEST_RELEASE_LEAP

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


def after_release_problem(after: int) -> str | None:
    """What is wrong with --after-release `after` on its own, or None."""
    if after < HIGHEST_RELEASE:
        return None
    return (f"--after-release {after}: the bots refuse a release numbered above {HIGHEST_RELEASE} "
            f"(a new installation takes none higher), so the highest release this tool may sign is "
            f"{HIGHEST_RELEASE}: give the highest release the bots may have, from 0 to "
            f"{HIGHEST_RELEASE - 1}")


def next_release(args, current, record):
    """One more than any number the store has used, or than --after-release: never lower, and
    never above the highest number every bot takes."""
    used = highest_used(current, record)
    after = getattr(args, "after_release", None)
    if after is not None:
        if after < used:
            raise PublishError(
                f"--after-release {after} would go back: this store has used release numbers up to "
                f"{used}, and a bot that installed one of them refuses a lower number. Leave it out "
                f"(release {used + 1}) or give {used} or more; nothing was changed")
        used = after
    if used >= HIGHEST_RELEASE:
        raise PublishError(
            f"release {used} is the highest number the bots take (a new installation refuses any "
            f"release numbered above {HIGHEST_RELEASE}), so no release can follow it. If no bot "
            f"installed it, remove {STATEMENT_OBJECT} and {RECORD_KEY} and publish with "
            f"--after-release N, N being the highest release the bots installed; nothing was changed")
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
