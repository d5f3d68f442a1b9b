"""Keys: the release signing key files keygen writes and the commands read, the public key the
bots check releases with, and the rule that a release is signed by the key the bots trust unless
the key changes on purpose."""

from __future__ import annotations

import hashlib
import os
import re
import sys

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


PROTECTED_KEY_FILE = f"{BUCKET} release signing key: secret, protected by a passphrase"
# Where a protected key's passphrase comes from when no one is at a terminal to type it.
PASSPHRASE_VARIABLE = "KELVO_KEY_PASSPHRASE"
KEY_FILES = {SECRET_KEY_FILE: "a secret key", PUBLIC_KEY_FILE: "a public key",
             PROTECTED_KEY_FILE: "a secret key protected by a passphrase"}
# A protected key's lines after the first: how its box key is derived from the passphrase
# (Argon2id, with its limits and salt), then the secret in the box.
PROTECTED = re.compile(r"argon2id ([0-9]{1,12}) ([0-9]{1,12}) ([0-9a-f]{32})\n([0-9a-f]{144})")
KEY_FILE_FIX = (f"pass the key file keygen wrote (its first line says {SECRET_KEY_FILE!r} or "
                f"{PROTECTED_KEY_FILE!r}), or write a new one with `python publisher/publisher.py "
                f"keygen KEYFILE`")


def read_key_file(path):
    """(the first line that says what it is, or None for the 64 digits alone; the 32 bytes):
    a protected key opened with its passphrase. A file that is no key file is named so, with
    what to pass instead."""
    try:
        with open(path, "rb") as file:
            data = file.read(4096)
    except OSError as error:
        raise PublishError(f"cannot read the key file {path}: {error.strerror or one_line(error)}") from None
    try:
        lines = data.decode("ascii").strip().split("\n")
    except UnicodeDecodeError:
        raise PublishError(f"{path} is not a key file (it is not text): {KEY_FILE_FIX}") from None
    kind = lines[0].strip() if lines[0].strip() in KEY_FILES else None
    rest = "\n".join(line.strip() for line in lines[1:] if kind) if kind else lines[0].strip()
    if kind == PROTECTED_KEY_FILE:
        return kind, open_protected(path, rest)
    if re.fullmatch("[0-9A-Fa-f]{64}", rest) and len(lines) == 1 + (kind is not None):
        return kind, bytes.fromhex(rest)
    if kind:
        raise PublishError(f"{path} says it holds {KEY_FILES[kind]}, but its key line is damaged (not "
                           f"64 hexadecimal digits): {KEY_FILE_FIX}")
    raise PublishError(f"{path} is not a key file (its first line is {lines[0][:40]!r}): {KEY_FILE_FIX}")


def passphrase(path, again=False):
    """The passphrase of the key file `path`: from the environment, else typed at the terminal."""
    import getpass

    given = os.environ.get(PASSPHRASE_VARIABLE)
    if given is None:
        if not sys.stdin.isatty():
            raise PublishError(f"{path} is protected by a passphrase: type it at a terminal, or give "
                               f"it in {PASSPHRASE_VARIABLE}")
        given = getpass.getpass(f"Passphrase of {path}: ")
        if again and getpass.getpass("The same passphrase again: ") != given:
            raise PublishError(f"the two passphrases differ; {path} was not written")
    if not given:
        raise PublishError(f"an empty passphrase protects nothing: give one for {path}")
    return given.encode()


def box_key(passphrase_bytes, salt, operations, memory):
    """The secret box's key, derived from the passphrase (Argon2id, PyNaCl)."""
    import nacl.pwhash
    import nacl.secret

    return nacl.pwhash.argon2id.kdf(nacl.secret.SecretBox.KEY_SIZE, passphrase_bytes, salt,
                                    opslimit=operations, memlimit=memory)


def protect(path, seed):
    """The lines of a protected key file that holds `seed`, asking for its passphrase."""
    import nacl.pwhash
    import nacl.secret
    import nacl.utils

    salt = nacl.utils.random(nacl.pwhash.argon2id.SALTBYTES)
    operations, memory = nacl.pwhash.argon2id.OPSLIMIT_MODERATE, nacl.pwhash.argon2id.MEMLIMIT_MODERATE
    box = nacl.secret.SecretBox(box_key(passphrase(path, again=True), salt, operations, memory))
    return (f"{PROTECTED_KEY_FILE}\nargon2id {operations} {memory} {salt.hex()}\n"
            f"{bytes(box.encrypt(seed)).hex()}\n")


def open_protected(path, lines):
    """The seed in a protected key file's `lines` after the first, opened with its passphrase."""
    import nacl.exceptions
    import nacl.secret

    match = PROTECTED.fullmatch(lines)
    if not match:
        raise PublishError(f"{path} says it holds {KEY_FILES[PROTECTED_KEY_FILE]}, but its lines are "
                           f"damaged: {KEY_FILE_FIX}")
    box = nacl.secret.SecretBox(box_key(passphrase(path), bytes.fromhex(match[3]), int(match[1]),
                                        int(match[2])))
    try:
        return box.decrypt(bytes.fromhex(match[4]))
    except nacl.exceptions.CryptoError:
        raise PublishError(f"the passphrase does not open {path}: type it again (or give the right "
                           f"one in {PASSPHRASE_VARIABLE})") from None


def signing_key(path):
    """The private key of a key file written by keygen: its 32-byte seed."""
    kind, seed = read_key_file(path)
    if kind == PUBLIC_KEY_FILE:
        raise PublishError(f"{path} holds the release public key {named(seed.hex())}, which bundles are "
                           f"built with, not a signing key: pass the secret key file keygen wrote beside it")
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
            f"{args.signing_key} holds the public key {named(seed.hex())}, which the bots check releases "
            f"with, not a signing key: pass the secret key file keygen wrote; nothing was changed")
    if current is not None:
        changes, last = not current.signed_by(key.verify_key), current.release
    elif record is not None and record.key is not None:
        changes, last = record.key != given, record.release
    else:
        changes = False
    if not changes:
        return None
    old = f"the key {named(trusted)}" if trusted else "a key whose public key this store does not record"
    if not args.new_signing_key:
        raise PublishError(
            f"release {last} is signed by {old}, not by {args.signing_key} (public key {named(given)}): "
            f"bundles built with that key would refuse this release. Sign with the key file of "
            f"{named(trusted) if trusted else 'that key'}; to change the key on purpose (a lost or "
            f"leaked key, or the bundles' spare), add --new-signing-key; nothing was changed")
    new = fingerprint(given)
    return (f"the key changed on purpose, from {old} to {named(given)}. Bot folders whose bundle "
            f"has {new} as its spare key install this release, and from then on refuse the old key. "
            f"Folders whose bundle has {new} as its release key install it only if they never "
            f"installed a release signed by their spare: a folder that did has retired its release "
            f"key and refuses this release (\"retired\"). Bundles built without {new} refuse it and "
            f"every later release until their users install a bundle built with it")


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
        elif not re.fullmatch("[0-9A-Fa-f]{64}", value):
            raise PublishError(f"--public-key {value[:70]!r} is neither 64 hexadecimal digits nor a "
                               f"file: give the public key keygen printed last, or the .pub file it "
                               f"wrote")
        try:
            key = nacl.signing.VerifyKey(bytes.fromhex(value))
            key.to_curve25519_public_key()  # libsodium refuses what is not a curve point
            return key
        except Exception as error:
            raise PublishError(f"--public-key {value} is not an Ed25519 public key: libsodium "
                               f"refuses it as a point of the curve") from error
    return None
