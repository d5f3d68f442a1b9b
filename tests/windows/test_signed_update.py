"""A signed update through the bundle, whose module requires the tests' release key: the bundle's
PyNaCl verifies the signature in the Windows interpreter."""

import nacl.signing
import pytest
from test_under_wine import BotFolder


@pytest.mark.parametrize("signed_by", ["the publisher", "another key"])
def test_only_a_release_signed_by_the_publisher_installs(
        wine, bundle, storage, sample_bot, tmp_path, signed_by):
    bots = BotFolder(tmp_path / "bots", bundle)
    old, new = sample_bot(1), sample_bot(2, bulk=300_000)
    bots.exe.write_bytes(old)
    other = nacl.signing.SigningKey(bytes(range(32)))
    storage.publish(new, **({} if signed_by == "the publisher" else {"signing_key": other}))
    run = bots.update(wine, storage.proxy)
    if signed_by == "the publisher":
        assert run.returncode == 0, run.stdout + run.stderr
        assert run.lines[-1] == "Done. Starting bot."
        assert bots.exe.read_bytes() == new and len(bots.starts(expected=1)) == 1
    else:
        assert run.returncode == 1
        assert ("RuntimeError: The downloaded kelvo_bot.exe is not signed by the publisher; the "
                "update was refused and nothing was changed.") in run.stderr
        assert "BadSignatureError" in run.stderr
        assert bots.exe.read_bytes() == old and not bots.temp.exists() and bots.starts() == []
