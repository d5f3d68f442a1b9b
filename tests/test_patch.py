"""Patch updates: a build with the publisher's key, against a real store, rebuilds the release
from the patch to it and its own executable, and downloads the whole executable whenever the
patch cannot be used."""

import hashlib

import pytest

# A run in the test process alone (--in-process) has no zstd: these tests need the real one.
pytest.importorskip("backports.zstd")
from backports import zstd  # noqa: E402

import patches  # noqa: E402
from conftest import EXE_NAME, bot_folder, build_dir, contents, stub_bot
from messages import EN, LANGUAGES, WINDOWS_LOCALE, text
from project import DOWNLOAD_NAME, RELEASE_RECORD_NAME, patch_object

PIECE = 256 * 1024  # the pieces the patch is read in, each a step of progress
BASE = stub_bot(1, bulk=3 * PIECE)
# The next release: another version line and a stretch of new bytes, so that its patch comes in
# more than one piece.
_NEXT = BASE.replace(b"# version 1", b"# version 2")
NEW = _NEXT[:PIECE] + bytes(byte ^ 0x5A for byte in _NEXT[PIECE:PIECE * 5 // 2]) + _NEXT[PIECE * 5 // 2:]


def signed_run(run_updater, bots, language=EN, **env):
    return run_updater(bots / "bin", build=build_dir("signed"),
                       UPDATER_LOCALE=",".join(WINDOWS_LOCALE[language]), **env)


def published(s3, patch=None, exe=NEW):
    """The release `exe`, signed, and `patch` as the patch from BASE to it (the publisher's, by
    default; None: none)."""
    s3.publish(exe)
    if patch is not None:
        s3.put(patch_object(hashlib.sha256(BASE).hexdigest()), patch)


def mib(size):
    return format(size / 1024 / 1024, "0.2f")


@pytest.mark.parametrize("language", LANGUAGES)
def test_a_patch_update_installs_the_release_byte_for_byte_without_downloading_it(
        s3, run_updater, tmp_path, language):
    bots = bot_folder(tmp_path / "bots", BASE)
    patch = patches.make(BASE, NEW)
    assert len(patch) < len(NEW) // 2
    published(s3, patch)
    asked = s3.downloads()
    run = signed_run(run_updater, bots, language)
    assert run.returncode == 0, run.stderr
    assert (bots / EXE_NAME).read_bytes() == NEW and s3.downloads() == asked
    assert run.lines[:5] == [text("check", language), text("differs", language),
                             text("patch", language, size=mib(len(patch))), text("done", language),
                             text("replacing", language)], run.stdout
    assert run.lines[-1] == text("started", language)
    assert run.bar[-1] == len(patch)
    assert sorted(contents(bots)) == ["bin", EXE_NAME, RELEASE_RECORD_NAME] and contents(bots)["bin"] == {}


def bomb():
    """A frame that makes 64 MiB of zeros: far more than the release."""
    compressor = zstd.ZstdCompressor(options={zstd.CompressionParameter.window_log: 17})
    return b"".join(compressor.compress(bytes(1 << 20)) for _ in range(64)) + compressor.flush()


# Another release, which shares with NEW the stretch that BASE does not have.
OTHER = NEW.replace(b"# version 2", b"# version 3")


# Each patch that cannot be used, and what the line says of it (None: the library's own words).
@pytest.mark.parametrize("patch, reason", [
    pytest.param(None, "", id="no patch"),
    pytest.param(lambda: patches.make(OTHER, NEW), "ValueError: what it makes does not match the release's digest",
                 id="a patch for another base"),
    pytest.param(lambda: patches.make(BASE, NEW)[:-100], "ValueError: it is cut short", id="truncated"),
    pytest.param(lambda: bytes(len(NEW) + 1), "ValueError: it is larger than the release", id="oversized"),
    pytest.param(lambda: b"MZ not a patch" * 100, None, id="malformed"),
    pytest.param(lambda: patches.make(BASE, NEW[:-1] + b"!"),
                 "ValueError: what it makes does not match the release's digest", id="result mismatch"),
    pytest.param(lambda: patches.make(BASE, NEW[:-1]), f"ValueError: it makes {len(NEW) - 1} bytes, the release {len(NEW)}",
                 id="result short"),
    pytest.param(bomb, f"ValueError: it makes more than the {len(NEW)} bytes of the release", id="bomb"),
    pytest.param(lambda: patches.make(BASE, NEW) + b"\0", "ValueError: data follows the end of the patch",
                 id="trailing data"),
])
def test_a_patch_that_cannot_be_used_is_said_and_the_whole_executable_installed(
        s3, run_updater, tmp_path, patch, reason):
    bots = bot_folder(tmp_path / "bots", BASE)
    published(s3, patch and patch())
    asked = s3.downloads()
    run = signed_run(run_updater, bots)
    assert run.returncode == 0, run.stderr
    assert (bots / EXE_NAME).read_bytes() == NEW and s3.downloads() == asked + 1
    said = next(line for line in run.lines if line.startswith(("The patch", "There is no patch")))
    if patch is None:
        assert said == text("no patch")
    elif reason is None:
        before, after = text("patch unusable").split("{reason}")
        assert said.startswith(before) and said.endswith(after), said
    else:
        assert said == text("patch unusable", reason=reason)
    assert run.lines[run.lines.index(said) + 1] == text("download", size=mib(len(NEW)))
    assert contents(bots)["bin"] == {}


# Killed while the patch comes (its first piece on the bar, nothing made yet) and while the
# release is rebuilt from it (a piece made): the old executable stays, and the next run patches.
@pytest.mark.parametrize("bar, made", [(1, False), (PIECE + 1, True)],
                         ids=["during the patch's download", "during the rebuild"])
def test_killed_while_patching_the_old_executable_stays_and_the_next_run_patches(
        s3, run_updater, tmp_path, bar, made):
    bots = bot_folder(tmp_path / "bots", BASE)
    published(s3, patches.make(BASE, NEW))
    asked = s3.downloads()
    killed = signed_run(run_updater, bots, UPDATER_KILL_BAR=str(bar))
    assert killed.returncode == -9, killed.stderr
    assert (bots / EXE_NAME).read_bytes() == BASE
    assert (len(contents(bots)["bin"].get(DOWNLOAD_NAME, b"")) > 0) == made
    again = signed_run(run_updater, bots)
    assert again.returncode == 0, again.stderr
    assert (bots / EXE_NAME).read_bytes() == NEW and s3.downloads() == asked
