# /// script
# requires-python = ">=3.11"
# dependencies = [
#     "boto3>=1.26",
#     "progressbar>=2.5",
#     "pynacl>=1.5",  # for signed releases only
#     "pefile>=2024.8.26",  # reads what a program says it is
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
                                                   (with --bundle DIR, against the keys a bundle trusts)
    python publisher/publisher.py status           the current release, without downloading it
    python publisher/publisher.py inspect PATH     what a wheel, bundle or module was built for
    python publisher/publisher.py serve            a local S3 server on 127.0.0.1 with the bucket

The updater downloads the executable whenever the object "exe_hash" is not, byte for byte, the
64 lower-case hexadecimal digits of the executable's SHA-256: one stray line end makes every
client download the bot on every start. This tool writes exactly that form and says what is
wrong with any other. It publishes only a 64-bit Windows program (the tests and the Linux demo,
which publish shell scripts, say --not-a-windows-program), only the program the store's release is
(unless --new-program), and a signed release only with the key the bots trust, under a number
that never goes back and that every bot takes.

Module layout beside this file: program_check.py (what a file is, and what a program says it
is), release_record.py (the record of release numbers and the numbering rule), signing_keys.py
(key files and the key the bots trust), store.py (the storage client, its errors and progress),
built_module.py (what a built module trusts), publish_command.py, store_checks.py (verify,
status) and commands.py (the rest); release_statement.py writes and reads the statement.

The endpoint comes from --endpoint or KELVO_ENDPOINT_URL; credentials from --access-key-id and
--secret-access-key, or the standard AWS variables and configuration files; --proxy (or the
standard http_proxy variable) reaches the endpoint through an HTTP proxy. Options may come
before or after the subcommand. With uv or pipx the dependencies come by themselves:
`uv run publisher/publisher.py ...` or `pipx run publisher/publisher.py ...`.
"""

from __future__ import annotations

import argparse
import importlib
import re
import shlex
import sys
from pathlib import Path

# The project's facts are in tools/project.py; the tool's rooms are beside this file.
TOOLS = str(Path(__file__).resolve().parent.parent / "tools")
if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)
import release_statement  # noqa: E402
from commands import create_bucket, inspect, keygen, refresh, serve  # noqa: E402
from publish_command import publish  # noqa: E402
from store_checks import status, verify  # noqa: E402
from failures import PublishError  # noqa: E402
from project import BUCKET, DIGEST_OBJECT, EXE_NAME, STATEMENT_OBJECT  # noqa: E402
from release_record import HIGHEST_RELEASE, after_release_problem  # noqa: E402
from release_statement import StatementError  # noqa: E402
from store import end_bar  # noqa: E402

# The names other tools read here (tests/test_signed_release.py).
from built_module import release_key  # noqa: E402,F401
EXE_KEY, HASH_KEY, STATEMENT_KEY = EXE_NAME, DIGEST_OBJECT, STATEMENT_OBJECT

# What the commands import beyond the standard library, as (module, the package that provides
# it); the header above lists the same packages for uv and pipx. Checked before anything is done.
STORAGE = ("boto3", "boto3")
BAR = ("progressbar", "progressbar")
SIGNING = ("nacl.signing", "pynacl")
PROGRAMS = ("pefile", "pefile")
PATCHES = ("backports.zstd", "backports.zstd")
MOTO = ("moto.server", "moto[server]")


def needs(args):
    """The (module, package) pairs that this command, with these options, imports."""
    signs = bool(getattr(args, "signing_key", None) or getattr(args, "public_key", None)
                 or getattr(args, "bundle", None))
    programs = not getattr(args, "not_a_windows_program", False)
    return {
        "create-bucket": [STORAGE],
        "publish": [STORAGE, BAR] + [SIGNING, PATCHES] * signs + [PROGRAMS] * programs,
        "refresh": [STORAGE, SIGNING],
        "verify": [STORAGE, BAR] + [SIGNING, PATCHES] * signs,
        "status": [STORAGE, SIGNING, PROGRAMS],
        "serve": [STORAGE] + [MOTO] * (getattr(args, "engine", None) == "moto"),
        "keygen": [SIGNING],
    }.get(args.command, [])


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
    packages = list(dict.fromkeys([STORAGE[1], BAR[1], SIGNING[1], PROGRAMS[1], *missing]))
    return (f"Install them in a virtual environment (on Debian or Ubuntu after `apt install "
            f"python3-venv`): `python3 -m venv {VENV} && {VENV}/bin/pip install "
            f"{shlex.join(packages)}`, then run the tool with `{VENV}/bin/python`")


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
    for name, run, help, description, path, options in COMMANDS:
        storage = name not in NEVER_REACH_A_STORE
        sub = commands.add_parser(name, parents=[given_here] if storage else [], help=help,
                                  description=description)
        sub.set_defaults(run=run)
        if path:
            sub.add_argument(path[0].lower(), metavar=path[0], help=path[1])
        if options:
            options(sub)
    return parser


def keygen_options(parser):
    parser.add_argument("--spare", action="store_true",
                        help="the spare key, built into bundles beside the release key and kept "
                             "offline until a rotation (docs/publishing.md)")
    parser.add_argument("--passphrase", action="store_true",
                        help="protect the secret key with a passphrase, typed twice at the "
                             "terminal (or given in KELVO_KEY_PASSPHRASE), which every command "
                             "that signs then asks for")


def signing_options(parser, expires_default):
    """The options of a command that signs a statement."""
    parser.add_argument("--expires-in", metavar="DAYS",
                        help="the release expires at the end of the UTC day DAYS days from today "
                             "(1 to 36500), or with `never` never: modules refuse it afterwards "
                             f"(default: {expires_default})")
    parser.add_argument("--not-a-windows-program", action="store_true",
                        help="take a file that is not a 64-bit Windows program (the tests' and "
                             "the Linux demo's shell scripts); a real bot never needs it")
    parser.add_argument("--new-signing-key", action="store_true",
                        help="sign with a key other than the one that signed the store's release, "
                             "on purpose (a lost or leaked key, or the bundles' spare): bundles "
                             "that do not trust it refuse the release")


def publish_options(parser):
    signed = parser.add_mutually_exclusive_group()
    signed.add_argument("--signing-key", metavar="KEYFILE",
                        help="sign the release with this key (from keygen) and upload its "
                             f"statement as {STATEMENT_OBJECT}, before the digest")
    signed.add_argument("--unsigned", action="store_true",
                        help="publish without a statement where one was published before, "
                             f"removing {STATEMENT_OBJECT}: modules built with a release key refuse it")
    signing_options(parser, "the store's release's")
    parser.add_argument(
        "--after-release", metavar="N",
        help="number the release N+1 (N: the highest release the bots may have), for a new or "
             "emptied bucket (required there: 0 for a first release ever); never lower than the "
             f"store's own numbers, and below {HIGHEST_RELEASE}, the highest number every bot takes "
             "(default: one more than the highest release number this store has used)")
    parser.add_argument(
        "--new-program", action="store_true",
        help="take a program whose product name or original file name differs from the store's "
             "release's, on purpose (the bot's program was renamed); every bot is replaced by it")
    parser.add_argument(
        "--patch-from", metavar="FILE", action="append", default=[],
        help="with --signing-key, also store the patch from this earlier executable (repeat it "
             "for several; the patch from the store's current executable is always made)")
    parser.add_argument(
        "--dry-run", action="store_true",
        help="make every check and say what would be uploaded, but upload nothing (the write "
             "test is not made)")


def refresh_options(parser):
    parser.add_argument("--signing-key", metavar="KEYFILE", required=True,
                        help="the key (from keygen) that signed the release")
    signing_options(parser, "the release's own")


def verify_options(parser):
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument("--public-key", metavar="HEX",
                      help=f"also check {STATEMENT_OBJECT} against this public key (64 hex digits, "
                           "or keygen's KEYFILE.pub)")
    keys.add_argument("--signing-key", metavar="KEYFILE",
                      help=f"also check {STATEMENT_OBJECT} against this key file's public key")
    keys.add_argument("--bundle", metavar="DIR",
                      help=f"also check {STATEMENT_OBJECT} against the keys a shipped bundle trusts "
                           "(its release key and its spare): a bundle folder, its zip or a wheel")
    parser.add_argument(
        "--patch-from", metavar="FILE", action="append", default=[],
        help="with a key, also apply the store's patch from this earlier executable to it and "
             "check that it makes the release (repeat it for several)")
    parser.add_argument("--not-a-windows-program", action="store_true",
                        help="take a published file that is not a 64-bit Windows program (the "
                             "tests' and the Linux demo's); a real bot never needs it")


def serve_options(parser):
    parser.add_argument("--host", default="127.0.0.1",
                        help="loopback address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=int, default=5000,
                        help="port to listen on; 0 takes a free one (default: %(default)s)")
    parser.add_argument("--engine", choices=["moto", "seaweedfs"], default="moto",
                        help="seaweedfs: a real store that checks signatures, with the module's "
                             "keys read-only and publisher keys (both printed)")
    parser.add_argument("--build", metavar="DIR",
                        help="with seaweedfs: take the module's keys from this CMake build folder, "
                             "e.g. build/win-amd64/cmake (default: the repository's default keys)")


# The commands that work on local files alone, or serve a store of their own: without the
# storage options.
NEVER_REACH_A_STORE = {"keygen", "inspect", "serve"}
# Each command: its name, what runs it, its help and description, the one file it is given
# (METAVAR, help) if any, and the function that adds its own options.
COMMANDS = [
    ("keygen", keygen, "write a new release signing key",
     "Write a new Ed25519 secret key to KEYFILE and its public key to KEYFILE.pub (readable by "
     "their owner only; an existing file is never replaced; each says on its first line what it "
     "holds) and print the public key, the module's UPDATER_RELEASE_PUBLIC_KEY (or with --spare "
     "its UPDATER_SPARE_PUBLIC_KEY), as the last line.",
     ("KEYFILE", "the file to create"), keygen_options),
    ("inspect", inspect, "say what a wheel or bundle was built for",
     "Read the endpoint and the release public key (or none) from a built module (a wheel, a "
     "bundle folder or its zip, or the .pyd), and say whether its keys are the repository's "
     "public defaults. The secret is never printed.",
     ("PATH", "a wheel, bundle folder, zip or module"), None),
    ("publish", publish, "upload an executable and its digest",
     f"Upload the executable as {EXE_NAME}, then, with --signing-key, its release statement as "
     f"{STATEMENT_OBJECT} (the next release number), then its SHA-256 as {DIGEST_OBJECT}, and "
     "read them back. The bucket and the credentials are checked first. Only a 64-bit Windows "
     "program is taken, and only the program the store's release is (its product name and "
     "original file name); a signed release only with the key that signed the store's release. "
     "What the program says it is (product, version, original file name, build time), its size "
     "and digest are shown first. Publishing an older executable again makes a new release: "
     "that is how to roll back; the executable that is already published changes nothing.",
     ("PATH", f"the {EXE_NAME} to publish"), publish_options),
    ("refresh", refresh, "sign the current release again with a new expiry",
     "Sign the published release's statement again with a new expiry, keeping its release "
     "number, digest and size; the executable is not uploaded. With --new-signing-key, sign it "
     "with another key under the next number. Refused when there is no statement, another key "
     f"signed it, or {DIGEST_OBJECT} or the executable's size no longer match it.",
     None, refresh_options),
    ("verify", verify, f"check the published executable against {DIGEST_OBJECT}",
     f"Download the published executable, hash it and say what is wrong with {DIGEST_OBJECT} "
     f"when they do not match; with a key, check the release statement {STATEMENT_OBJECT} too "
     "and show its release number and expiry. Exit status 1 when anything is wrong.",
     None, verify_options),
    ("status", status, "show the store's current release without downloading it",
     "Show the store's current release: its number, expiry and the key that signed it (with a "
     f"short fingerprint), the size of {EXE_NAME} and what it says it is (product, version, "
     "original file name, build time, read from its headers alone), "
     f"{DIGEST_OBJECT}, and this tool's record of release numbers.", None, None),
    ("create-bucket", create_bucket, f"create the bucket {BUCKET}, once",
     f"Create the bucket {BUCKET} with these keys (the publisher's). An upload does not create "
     "it. A bucket these keys already own is fine.", None, None),
    ("serve", serve, "a local S3 server with the bucket, for development",
     f"Run moto's S3 server on the loopback interface with the bucket {BUCKET} until Ctrl-C. It "
     "prints the address it listens on.", None, serve_options),
]


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
        if not re.fullmatch(f"0|{release_statement.NUMBER}", text):
            raise PublishError(f"--after-release {text}: give the highest release number the bots "
                               f"may have, from 0 to {HIGHEST_RELEASE - 1}")
        problem = after_release_problem(int(text))
        if problem:
            raise PublishError(problem)
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


if __name__ == "__main__":
    sys.exit(main())
