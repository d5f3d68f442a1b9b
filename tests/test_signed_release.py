"""Signed releases: a build with the publisher's key against a real server, real files, a relay
in the attacker's place and real processes."""

import datetime
import hashlib
import os
import time
from contextlib import closing

import nacl.signing
import pytest

import release_statement
from conftest import BUCKET, EXE_NAME, UNCHANGED, build_dir, contents, stub_bot, wait_for
from fakes import OLD
from messages import EN, LANGUAGES, WINDOWS_LOCALE, identical_lines, text
from relay import Relay

GENUINE = stub_bot(1)
EVIL = stub_bot(6)  # the attacker's program, of the same length
EVIL_DIGEST = hashlib.sha256(EVIL).hexdigest()
ATTACKER = nacl.signing.SigningKey(bytes(range(32)))
EVIL_STATEMENT = release_statement.make(ATTACKER, EVIL_DIGEST, len(EVIL), 99)
SWAPPED = {EXE_NAME: lambda _: EVIL, "exe_hash": lambda _: EVIL_DIGEST.encode()}
FLOOD = 300 * 1024 * 1024


def signed_run(run_updater, bots, proxy=None, language=None, **env):
    return run_updater(bots / "bin", build=build_dir("signed"), proxy=proxy,
                       UPDATER_LOCALE=",".join(WINDOWS_LOCALE[language or EN]), **env)


# Each attack: the statement the store holds, what a relay on the way rewrites, what the refusal
# names as its cause, and whether the executable is downloaded before it.
@pytest.mark.parametrize("language", LANGUAGES)
@pytest.mark.parametrize("statement, rewrite, cause, downloaded", [
    pytest.param("genuine", SWAPPED, "mismatch", True, id="relay swaps executable and digest"),
    pytest.param("genuine", {**SWAPPED, "exe_hash.sig": lambda _: EVIL_STATEMENT}, "BadSignatureError",
                 False, id="relay swaps executable, digest and statement, by another key"),
    pytest.param("genuine", {EXE_NAME: lambda _: EVIL}, "mismatch", True,
                 id="relay swaps the executable only"),
    pytest.param("none", {}, "NoSuchKey", False, id="no statement"),
    pytest.param("truncated", {}, "ValueError: the release statement has no line", False,
                 id="truncated statement")])
def test_an_update_not_signed_by_the_publisher_changes_nothing(
        s3, run_updater, bots, tmp_path, statement, rewrite, cause, downloaded, language):
    s3.publish(GENUINE, signing_key=None if statement == "none" else ...)
    if statement == "truncated":
        s3.put("exe_hash.sig", s3.get("exe_hash.sig")[:150])
    with closing(Relay(s3.port, rewrite=rewrite)) as relay:
        run = signed_run(run_updater, bots, relay.proxy, language)
    assert run.returncode == 1
    assert run.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {text('unsigned', language)}", run.stderr
    assert (f"RuntimeError: {text(cause, language)}" if cause == "mismatch" else cause) in run.stderr
    assert run.lines[-1] == text("done" if downloaded else "differs", language)
    assert contents(bots) == UNCHANGED
    time.sleep(0.2)
    assert not (tmp_path / "started").exists()


def test_a_signed_update_installs_and_starts_the_bot_even_when_exe_hash_is_withheld(
        s3, run_updater, bots, tmp_path):
    s3.publish(GENUINE)
    # The relay answers exe_hash with the digest of the bot the folder has: the statement still
    # names the release to install.
    withheld = {"exe_hash": lambda _: hashlib.sha256((bots / EXE_NAME).read_bytes()).hexdigest().encode()}
    with closing(Relay(s3.port, rewrite=withheld)) as relay:
        run = signed_run(run_updater, bots, relay.proxy)
    assert run.returncode == 0, run.stderr
    assert (bots / EXE_NAME).read_bytes() == GENUINE
    assert wait_for(tmp_path / "started")[1] == str(bots / EXE_NAME)
    assert run.lines[-1] == text("started")


NEWER, OLDER = stub_bot(3), stub_bot(2)


def replayed(s3, run_updater, bots):
    """Release 2 installed, then release 1 offered again (a relay replaying it, or a store
    owner re-publishing it)."""
    s3.publish(NEWER, release=2)
    assert signed_run(run_updater, bots).returncode == 0
    s3.publish(OLDER, release=1)


# Refused from the statement alone: nothing is downloaded and the folder stays as it was.
@pytest.mark.parametrize("language", LANGUAGES)
@pytest.mark.parametrize("publish, refusal", [
    pytest.param(replayed, ("older", dict(offered=1, installed=2)), id="older release replayed"),
    pytest.param(lambda s3, *_: s3.publish(NEWER, expires=datetime.date(2020, 1, 31)),
                 ("expired", dict(date="2020-01-31")), id="expired statement"),
    pytest.param(lambda s3, *_: s3.publish(NEWER, size=len(NEWER) + 1),
                 ("size", dict(stored=len(NEWER), signed=len(NEWER) + 1)), id="size unlike the signed one"),
])
def test_a_release_refused_by_its_statement_downloads_nothing(s3, run_updater, bots, publish, refusal, language):
    publish(s3, run_updater, bots)
    before, asked = contents(bots), s3.downloads()
    run = signed_run(run_updater, bots, language=language)
    key, fields = refusal
    assert run.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {text(key, language, **fields)}", run.stderr
    assert contents(bots) == before and s3.downloads() == asked


def test_a_current_bot_with_an_expired_statement_says_so_and_waits(s3, run_updater, bots):
    s3.publish(OLD, expires=datetime.date(2020, 1, 31))
    run = signed_run(run_updater, bots)
    assert run.returncode == 0, run.stderr
    assert run.lines == [*identical_lines(bots / EXE_NAME), text("expired line", date="2020-01-31")]
    assert run.sleeps == [60]


# A store that answers with more than it may: the updater takes a few KiB of a small object and
# of an error answer, and no more of the executable than was signed, whatever comes.
NOT_FOUND = "botocore.exceptions.ClientError: An error occurred (404) when calling the GetObject operation: Not Found"


@pytest.mark.parametrize("rewrite, status, refused", [
    pytest.param({"exe_hash.sig": lambda _: bytes(FLOOD)}, {}, "exe_hash.sig", id="statement"),
    pytest.param({"exe_hash": lambda _: bytes(FLOOD)}, {}, "exe_hash", id="digest"),
    pytest.param({EXE_NAME: lambda body: body + bytes(FLOOD)}, {}, None, id="executable"),
    pytest.param({"exe_hash": lambda _: bytes(FLOOD)}, {"exe_hash": "404 Not Found"}, NOT_FOUND,
                 id="digest's error answer"),
    pytest.param({EXE_NAME: lambda _: bytes(FLOOD)}, {EXE_NAME: "404 Not Found"}, NOT_FOUND,
                 id="executable's error answer"),
])
def test_an_endless_answer_is_cut_off_with_memory_and_disk_flat(s3, run_updater, bots, rewrite, status, refused):
    new = stub_bot(4) + os.urandom(4 * 1024 * 1024)
    s3.publish(new)
    with closing(Relay(s3.port, rewrite=rewrite, status=status)) as relay:
        run = signed_run(run_updater, bots, relay.proxy)
    if status:
        assert run.stderr.rstrip().splitlines()[-1] == refused, run.stderr
    else:
        expected = text("object too long", name=refused) if refused else text("oversized", size=len(new))
        assert f"RuntimeError: {expected}" in run.stderr, run.stderr
    # Less than the answer itself, whatever the interpreter and the sanitizers take of their own.
    assert run.peak_mib < FLOOD / 2**20, run.peak_mib
    assert (bots / EXE_NAME).read_bytes() == OLD
    left = bots / "bin" / "kelvo_bot.temp"
    assert not left.exists() or left.stat().st_size <= len(new) + 1024 * 1024


def test_a_missing_pynacl_is_named_and_refuses(s3, run_updater, bots, tmp_path):
    s3.publish(stub_bot(5))
    hidden = tmp_path / "no-nacl"
    hidden.mkdir()
    (hidden / "nacl.py").write_text("")  # a module, not the package: nacl.signing is missing
    paths = [str(hidden), *filter(None, [os.environ.get("PYTHONPATH")])]
    run = signed_run(run_updater, bots, PYTHONPATH=os.pathsep.join(paths))
    assert run.stderr.rstrip().splitlines()[-1] == f"ModuleNotFoundError: {text('no pynacl')}", run.stderr
    assert contents(bots) == UNCHANGED


def test_ctrl_c_while_the_statement_is_verified_is_a_plain_stop(s3, run_updater, bots):
    s3.publish(stub_bot(7))
    run = signed_run(run_updater, bots, UPDATER_INTERRUPT_AT="nacl.signing:VerifyKey.verify")
    assert run.stderr.rstrip().splitlines()[-1] == "KeyboardInterrupt", run.stderr
    assert text("unsigned") not in run.stderr and contents(bots) == UNCHANGED
