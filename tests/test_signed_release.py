"""Signed releases: a build with the publisher's key against a real server, real files, a relay
in the attacker's place and real processes."""

import hashlib
import os
import time

import nacl.signing
import pytest

import publisher
from conftest import build_dir
from relay import Relay
from test_end_to_end import bot_dir, stub_bot, wait_for  # noqa: F401 (a fixture)

OLD = b"MZ old bot"
GENUINE = stub_bot(1)
EVIL = stub_bot(6)  # the attacker's program, of the same length
ATTACKER = nacl.signing.SigningKey(bytes(range(32)))

REFUSED = {
    "en": "RuntimeError: The downloaded kelvo_bot.exe is not signed by the publisher; the update "
          "was refused and nothing was changed.",
    "ru": "RuntimeError: Загруженный файл kelvo_bot.exe не подписан издателем; обновление "
          "отклонено, ничего не изменено.",
}


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
        {"en": "RuntimeError: The downloaded kelvo_bot.exe does not match the published digest",
         "ru": "RuntimeError: Загруженный файл kelvo_bot.exe не совпадает с опубликованной"}),
    "no signature": ({"signing_key": None}, {}, "NoSuchKey"),
    "truncated signature": ({"truncate": 40}, {}, "The signature must be exactly 64 bytes long"),
}


@pytest.mark.parametrize("language", ["en", "ru"])
@pytest.mark.parametrize("attack", list(ATTACKS), ids=list(ATTACKS))
def test_an_update_not_signed_by_the_publisher_changes_nothing(
        s3, run_updater, signed_build, bot_dir, russian, attack, language):
    store, rewrite, cause = ATTACKS[attack]
    (bot_dir / "kelvo_bot.exe").write_bytes(OLD)
    s3.publish(GENUINE, signing_key=store.get("signing_key", ...))
    if "truncate" in store:
        signature = s3.client.get_object(Bucket="kelvo-bot", Key="exe_hash.sig")["Body"].read()
        s3.put("exe_hash.sig", signature[: store["truncate"]])
    relay = Relay(s3.port, rewrite=rewrite)
    record = bot_dir / "started"
    try:
        run = run_updater(bot_dir / "bin", build=signed_build, proxy=relay.proxy,
                          BOT_RECORD=str(record), **(russian if language == "ru" else {}))
    finally:
        relay.close()
    assert run.returncode == 1
    assert run.stderr.rstrip().splitlines()[-1] == REFUSED[language], run.stderr
    assert (cause[language] if isinstance(cause, dict) else cause) in run.stderr
    assert run.lines[-1] == ("Загрузка завершена" if language == "ru" else "Download done.")
    assert (bot_dir / "kelvo_bot.exe").read_bytes() == OLD
    assert sorted(os.listdir(bot_dir)) == ["bin", "kelvo_bot.exe"] and not os.listdir(bot_dir / "bin")
    time.sleep(0.2)
    assert not record.exists()


@pytest.mark.parametrize("build, signed", [("signed", True), ("native", False)],
                         ids=["signed build, signed store", "build without a key, unsigned store"])
def test_an_update_installs_and_starts_the_bot(s3, run_updater, bot_dir, build, signed):
    (bot_dir / "kelvo_bot.exe").write_bytes(OLD)
    s3.publish(GENUINE, signing_key=... if signed else None)
    record = bot_dir / "started"
    run = run_updater(bot_dir / "bin", build=build_dir(build), BOT_RECORD=str(record))
    assert run.returncode == 0, run.stderr
    assert (bot_dir / "kelvo_bot.exe").read_bytes() == GENUINE
    assert wait_for(record)[1] == str(bot_dir / "kelvo_bot.exe")
    assert run.lines[-1] == "Done. Starting bot."
