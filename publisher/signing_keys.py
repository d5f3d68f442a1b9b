"""Keys: the release signing key files keygen writes and the commands read, the public key the
bots check releases with, and the rule that a release is signed by the key the bots trust unless
the key changes on purpose."""

from __future__ import annotations

import hashlib
import os
import re

from failures import PublishError, one_line
from project import BUCKET

def fingerprint(key_hex):
    """A public key's short fingerprint: the first 8 hexadecimal digits of its SHA-256, easy to
    compare by eye where the full key is printed."""
    return hashlib.sha256(bytes.fromhex(key_hex)).hexdigest()[:8]


def named(key_hex):
    """A public key as messages name it: in full, with its short fingerprint."""
    return f"{key_hex} (fingerprint {fingerprint(key_hex)})"


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
