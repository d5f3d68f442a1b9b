"""The release statement: what the publisher signs for each release, stored as the object
exe_hash.sig. README.md ("Signed releases") describes its seven lines; this is the one place in
the project's Python that writes and reads them (publisher.py, the tests' store, the benchmarks).

    make(signing_key, sha256, size, release, expires)  the statement's bytes, signed
    parse(data)                     a Statement, or StatementError saying what is wrong
    statement.signed_by(verify_key) whether that key signed it
    statement.expired()             whether a module refuses it today (UTC)

How a new release is numbered is the publisher's record's rule (release_record.py).
"""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass

from project import BUCKET, LONGEST_OBJECT, PURPOSE, RELEASE_NUMBER_DIGITS

FIRST_LINE = f"{BUCKET} release statement 1"
# The module refuses a longer object as malformed.
MAX_BYTES = LONGEST_OBJECT

# The lines after the first: keyword, the form of its value, that form in words. A number is
# decimal, with no sign or leading zeros, of at most so many digits.
DIGITS = RELEASE_NUMBER_DIGITS
NUMBER = f"[1-9][0-9]{{0,{DIGITS - 1}}}"
MAX_NUMBER = 10 ** DIGITS - 1
LINES = [
    ("purpose", re.escape(PURPOSE), PURPOSE),
    ("sha256", "[0-9a-f]{64}", "64 lower-case hexadecimal digits"),
    ("size", f"0|{NUMBER}", "a number of bytes"),
    ("release", NUMBER, "a number from 1"),
    ("expires", "never|[0-9]{4}-[0-9]{2}-[0-9]{2}", "YYYY-MM-DD or never"),
    ("signature", "[0-9a-f]{128}", "128 lower-case hexadecimal digits"),
]


class StatementError(ValueError):
    """What makes bytes not a release statement, in words."""


@dataclass(frozen=True)
class Statement:
    sha256: str
    size: int
    release: int
    expires: datetime.date | None  # None: never
    signature: bytes
    message: bytes  # the six lines the signature covers

    def signed_by(self, verify_key) -> bool:
        from nacl.exceptions import BadSignatureError

        try:
            verify_key.verify(self.message, self.signature)
        except BadSignatureError:
            return False
        return True

    def expired(self, today: datetime.date | None = None) -> bool:
        """Valid through the end of its day in UTC."""
        return self.expires is not None and (today or utc_today()) > self.expires

    @property
    def expiry(self) -> str:
        return "never" if self.expires is None else self.expires.isoformat()


def utc_today() -> datetime.date:
    return datetime.datetime.now(datetime.UTC).date()


def make(signing_key, sha256: str, size: int, release: int,
         expires: datetime.date | None = None) -> bytes:
    """The statement of a release, signed with `signing_key` (a PyNaCl SigningKey). Refuses
    values the statement cannot hold, with StatementError."""
    when = "never" if expires is None else expires.isoformat()
    message = (f"{FIRST_LINE}\npurpose {PURPOSE}\nsha256 {sha256}\nsize {size}\n"
               f"release {release}\nexpires {when}\n").encode("ascii", errors="replace")
    statement = message + f"signature {signing_key.sign(message).signature.hex()}\n".encode()
    parse(statement)  # never writes what a reader refuses
    return statement


def parse(data: bytes) -> Statement:
    """The statement in `data`, checked line by line; its signature is not checked here."""
    if len(data) > MAX_BYTES:
        raise StatementError(f"it is {len(data)} bytes long, more than {MAX_BYTES}")
    if b"\r" in data:
        raise StatementError("it has CR LF line ends; its lines end with LF alone")
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise StatementError("it is not ASCII text") from None
    lines = text.split("\n")
    if lines[-1] != "":
        raise StatementError("its last line has no line end")
    lines.pop()
    if not lines or lines[0] != FIRST_LINE:
        first = lines[0][:60] if lines else ""
        raise StatementError(f"its first line is {first!r}, not {FIRST_LINE!r}")
    if len(lines) != 1 + len(LINES):
        raise StatementError(f"it has {len(lines)} lines, not {1 + len(LINES)}")
    values = {}
    for number, (line, (keyword, form, words)) in enumerate(zip(lines[1:], LINES), start=2):
        match = re.fullmatch(f"{keyword} ({form})", line)
        if not match:
            raise StatementError(f"line {number} is {line[:80]!r}, not '{keyword} <{words}>'")
        values[keyword] = match[1]
    expires = None
    if values["expires"] != "never":
        try:
            expires = datetime.date.fromisoformat(values["expires"])
        except ValueError:
            raise StatementError(f"expires {values['expires']} is not a date") from None
    return Statement(sha256=values["sha256"], size=int(values["size"]),
                     release=int(values["release"]), expires=expires,
                     signature=bytes.fromhex(values["signature"]),
                     message="".join(line + "\n" for line in lines[:-1]).encode("ascii"))

