"""Signed releases: a build with the publisher's key against a real server, real files, a relay
in the attacker's place and real processes."""

import hashlib
import os
import time

import nacl.signing
import pytest

import publisher
from conftest import build_dir, stub_bot, wait_for
from fakes import OLD
from messages import EN, LANGUAGES, text
from relay import Relay

GENUINE = stub_bot(1)
EVIL = stub_bot(6)  # the attacker's program, of the same length
ATTACKER = nacl.signing.SigningKey(bytes(range(32)))

@pytest.fixture(scope="session")
def signed_build():
    return build_dir("signed")


@pytest.fixture
def russian(tmp_path):
    """An interpreter that takes the process locale for Windows' Russian one."""
    folder = tmp_path / "russian"
    folder.mkdir()
    (folder / "sitecustomize.py").write_text(
        "import locale\nlocale.getlocale = lambda *a: ('Russian_Russia', '1251')\n")
    return {"PYTHONPATH": str(folder)}


def evil_signature(_):
    return ATTACKER.sign(publisher.signed_message(hashlib.sha256(EVIL).hexdigest())).signature


# How each attack is staged: what the store holds, what a relay on the way rewrites, and what
# the refusal names as its cause.
ATTACKS = {
    "relay swaps executable and digest": (
        {}, {"kelvo_bot.exe": lambda _: EVIL,
             "exe_hash": lambda _: hashlib.sha256(EVIL).hexdigest().encode()},
        "BadSignatureError"),
    "relay swaps executable, digest and signature, by another key": (
        {}, {"kelvo_bot.exe": lambda _: EVIL,
             "exe_hash": lambda _: hashlib.sha256(EVIL).hexdigest().encode(),
             "exe_hash.sig": evil_signature},
        "BadSignatureError"),
    "relay swaps the executable only": (
        {}, {"kelvo_bot.exe": lambda _: EVIL},
        "mismatch"),
    "no signature": ({"signing_key": None}, {}, "NoSuchKey"),
    "truncated signature": ({"truncate": 40}, {}, "The signature must be exactly 64 bytes long"),
}


@pytest.mark.parametrize("language", LANGUAGES)
@pytest.mark.parametrize("attack", list(ATTACKS), ids=list(ATTACKS))
def test_an_update_not_signed_by_the_publisher_changes_nothing(
        s3, run_updater, signed_build, bots, russian, attack, language):
    store, rewrite, cause = ATTACKS[attack]
    s3.publish(GENUINE, signing_key=store.get("signing_key", ...))
    if "truncate" in store:
        signature = s3.client.get_object(Bucket="kelvo-bot", Key="exe_hash.sig")["Body"].read()
        s3.put("exe_hash.sig", signature[: store["truncate"]])
    relay = Relay(s3.port, rewrite=rewrite)
    record = bots / "started"
    try:
        run = run_updater(bots / "bin", build=signed_build, proxy=relay.proxy,
                          BOT_RECORD=str(record), **(russian if language != EN else {}))
    finally:
        relay.close()
    assert run.returncode == 1
    assert run.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {text('unsigned', language)}", run.stderr
    assert (f"RuntimeError: {text(cause, language)}" if cause == "mismatch" else cause) in run.stderr
    assert run.lines[-1] == text("done", language)
    assert (bots / "kelvo_bot.exe").read_bytes() == OLD
    assert sorted(os.listdir(bots)) == ["bin", "kelvo_bot.exe"] and not os.listdir(bots / "bin")
    time.sleep(0.2)
    assert not record.exists()


@pytest.mark.parametrize("build, signed", [("signed", True), ("native", False)],
                         ids=["signed build, signed store", "build without a key, unsigned store"])
def test_an_update_installs_and_starts_the_bot(s3, run_updater, bots, build, signed):
    s3.publish(GENUINE, signing_key=... if signed else None)
    record = bots / "started"
    run = run_updater(bots / "bin", build=build_dir(build), BOT_RECORD=str(record))
    assert run.returncode == 0, run.stderr
    assert (bots / "kelvo_bot.exe").read_bytes() == GENUINE
    assert wait_for(record)[1] == str(bots / "kelvo_bot.exe")
    assert run.lines[-1] == text("started")
