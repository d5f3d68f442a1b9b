"""Signed releases: a build with the publisher's key against a real server, real files, a relay
in the attacker's place and real processes."""

import hashlib
import time
from contextlib import closing

import nacl.signing
import pytest

import release_statement
from conftest import BUCKET, UNCHANGED, build_dir, contents, stub_bot, wait_for
from messages import LANGUAGES, RU, text
from relay import Relay

GENUINE = stub_bot(1)
EVIL = stub_bot(6)  # the attacker's program, of the same length
EVIL_DIGEST = hashlib.sha256(EVIL).hexdigest()
ATTACKER = nacl.signing.SigningKey(bytes(range(32)))
EVIL_SIGNATURE = release_statement.make(ATTACKER, EVIL_DIGEST, len(EVIL), 1)
SWAPPED = {"kelvo_bot.exe": lambda _: EVIL, "exe_hash": lambda _: EVIL_DIGEST.encode()}


# Each attack: the signature the store holds, what a relay on the way rewrites, and what the
# refusal names as its cause.
@pytest.mark.parametrize("language", LANGUAGES)
@pytest.mark.parametrize("signature, rewrite, cause", [
    pytest.param("genuine", SWAPPED, "BadSignatureError", id="relay swaps executable and digest"),
    pytest.param("genuine", {**SWAPPED, "exe_hash.sig": lambda _: EVIL_SIGNATURE}, "BadSignatureError",
                 id="relay swaps executable, digest and signature, by another key"),
    pytest.param("genuine", {"kelvo_bot.exe": lambda _: EVIL}, "mismatch",
                 id="relay swaps the executable only"),
    pytest.param("none", {}, "NoSuchKey", id="no signature"),
    pytest.param("truncated", {}, "The signature must be exactly 64 bytes long", id="truncated signature")])
def test_an_update_not_signed_by_the_publisher_changes_nothing(
        s3, run_updater, bots, tmp_path, signature, rewrite, cause, language):
    s3.publish(GENUINE, signing_key=None if signature == "none" else ...)
    if signature == "truncated":
        s3.put("exe_hash.sig", s3.client.get_object(Bucket=BUCKET, Key="exe_hash.sig")["Body"].read()[:40])
    with closing(Relay(s3.port, rewrite=rewrite)) as relay:
        run = run_updater(bots / "bin", build=build_dir("signed"), proxy=relay.proxy,
                          UPDATER_RUSSIAN="1" if language == RU else "")
    assert run.returncode == 1
    assert run.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {text('unsigned', language)}", run.stderr
    assert (f"RuntimeError: {text(cause, language)}" if cause == "mismatch" else cause) in run.stderr
    assert run.lines[-1] == text("done", language)
    assert contents(bots) == UNCHANGED
    time.sleep(0.2)
    assert not (tmp_path / "started").exists()


def test_a_signed_update_installs_and_starts_the_bot(s3, run_updater, bots, tmp_path):
    s3.publish(GENUINE)
    run = run_updater(bots / "bin", build=build_dir("signed"))
    assert run.returncode == 0, run.stderr
    assert (bots / "kelvo_bot.exe").read_bytes() == GENUINE
    assert wait_for(tmp_path / "started")[1] == str(bots / "kelvo_bot.exe")
    assert run.lines[-1] == text("started")
