"""What the publisher ships: the cross-built wheel and the facts read back from it and from the
bundle; and what the bundle's launcher makes of a failure."""

import codecs
import datetime
import os
import re
import sys
import zipfile
from pathlib import Path

import pytest

# The launcher's hints are tested with the storage library's own errors: an interpreter that runs
# only the tests in the process has no storage library.
pytest.importorskip("botocore", reason="needs the storage library")

import launcher  # noqa: E402
import nacl.exceptions  # noqa: E402
from project import EXE_NAME, RUSSIAN_LOCALE, default_keys  # noqa: E402
from botocore.exceptions import ClientError, EndpointConnectionError, IncompleteReadError  # noqa: E402
import harness  # noqa: E402
from harness import ROOT  # noqa: E402
from local_s3 import built_endpoint  # noqa: E402
from s3transfer.exceptions import RetriesExceededError  # noqa: E402
from wheels import check_release_metadata  # noqa: E402


def test_the_test_wheel_is_under_build_with_the_release_metadata_and_dist_is_untouched(wheel):
    assert ROOT / "build" in wheel.parents
    check_release_metadata(wheel)
    endpoint = built_endpoint(os.environ["UPDATER_WIN64_BUILD"]).encode() + b"\0"
    for release in (ROOT / "dist").rglob("*.whl"):
        with zipfile.ZipFile(release) as archive:
            assert not any(endpoint in archive.read(name) for name in archive.namelist()
                           if name.endswith(".pyd")), f"a test build in {release}"


@pytest.mark.parametrize("what", ["wheel", "bundle"])
def test_inspect_names_the_endpoint_and_warns_of_the_default_keys_without_the_secret(bundle, wheel, what):
    path = wheel if what == "wheel" else bundle
    done = harness.run([sys.executable, ROOT / "publisher" / "publisher.py", "inspect", path],
                       env=harness.clean_environment())
    assert done.returncode == 0, done.stderr
    assert f"  endpoint:    {built_endpoint(os.environ['UPDATER_WIN64_BUILD'])}\n" in done.stdout
    assert "WARNING: the repository's default keys. They are public" in done.stdout
    assert default_keys()[1] not in done.stdout


def test_the_launcher_speaks_russian_for_the_modules_russian_locale_and_knows_the_bots_file():
    assert (launcher.RUSSIAN_LOCALE, launcher.EXE_NAME) == (RUSSIAN_LOCALE, EXE_NAME)


def refused(kind, cause=None):
    """The updater's refusal as the module raises it, after `cause` if given."""
    error = RuntimeError("refused")
    error.refusal, error.__context__ = kind, cause
    return error


def carrying(error, **attributes):
    error.__dict__.update(attributes)
    return error


def wrapped(error):
    outer = OSError("while putting the old executable back")
    outer.__context__ = error
    return outer


@pytest.mark.parametrize("error, kind", [
    pytest.param(refused("unsigned", nacl.exceptions.BadSignatureError("forged")), "unsigned",
                 id="not signed, after the bad signature"),
    pytest.param(refused("older"), "older", id="an older release"),
    pytest.param(refused("expired"), "expired", id="an expired statement"),
    pytest.param(refused("not_started", OSError(8, "Exec format error")), "not_started",
                 id="a new executable that cannot start"),
    pytest.param(refused("mismatch", ClientError({"Error": {"Code": "AccessDenied"}}, "GetObject")), "mismatch",
                 id="a mismatch, after the store refused the digest"),
    pytest.param(wrapped(refused("older")), "older", id="a refusal further down the chain"),
    pytest.param(refused("some later kind", EndpointConnectionError(endpoint_url="http://store")), "unreachable",
                 id="an unknown refusal: what it wraps decides"),
    pytest.param(RetriesExceededError(IncompleteReadError(actual_bytes=1, expected_bytes=2)), "unreachable",
                 id="a download cut short, given up"),
    pytest.param(ModuleNotFoundError("No module named 'nacl'", name="nacl"), "no pynacl", id="no nacl"),
    pytest.param(wrapped(ModuleNotFoundError(name="nacl.bindings")), "no pynacl", id="no nacl.bindings"),
    pytest.param(ModuleNotFoundError(name="naclx"), "other", id="another module missing"),
    pytest.param(refused("running", PermissionError(13, "in use")), "running", id="a running bot"),
    pytest.param(refused("not_writable", PermissionError(13, "denied")), "not_writable", id="a folder not writable"),
    pytest.param(refused("interrupted", KeyboardInterrupt()), "interrupted", id="Ctrl-C that ended a store step"),
    pytest.param(carrying(KeyboardInterrupt(), refusal="interrupted"), "interrupted", id="Ctrl-C's own, a refusal"),
    pytest.param(refused("disk_full", OSError(28, "No space left on device")), "disk_full", id="a full disk"),
    pytest.param(PermissionError(13, "Permission denied"), "other", id="a PermissionError without a refusal"),
])
def test_failure_kind_goes_by_refusal_not_by_class_and_gives_a_cut_download_and_a_missing_pynacl_their_hint(
        error, kind):
    assert launcher.failure_kind(error) == kind


def test_the_launchers_refusals_are_the_modules_each_with_a_hint_in_both_languages():
    # The module's refusal kinds are its names `refusal_<what>` (updater_core/names.hpp): a kind
    # the launcher spells otherwise never gets its hint.
    kinds = re.findall(r'X\(refusal_\w+, "([^"]+)"\)', (ROOT / "updater_core" / "names.hpp").read_text())
    assert "unsigned" in kinds
    assert sorted(launcher.HINTS.keys() - launcher.OWN_KINDS) == sorted(kinds)
    assert all(hint.strip() for hints in launcher.HINTS.values() for hint in hints)


PROGRAM_FILES = "C:\\Program Files\\Bot"


@pytest.mark.parametrize("error, argv, logs, before, after, hint, bot", [
    pytest.param(refused("older"), [], "both", True, "kept", "older", "kept", id="the hint, the bot and the log"),
    pytest.param(refused("older"), ["--details"], "both", True, "kept", "older", "kept",
                 id="--details: the error too"),
    pytest.param(refused("older"), [], "spare", True, "kept", "older", "kept",
                 id="bin may not be written: the spare log"),
    pytest.param(refused("older"), [], "none", True, "kept", "older", "kept", id="no log can be written: the error"),
    pytest.param(KeyboardInterrupt(), [], "both", True, "kept", None, None, id="Ctrl-C: nothing"),
    pytest.param(refused("not_started"), [], "both", True, "put back", "not_started", "kept",
                 id="could not start, the old one put back"),
    pytest.param(refused("not_started"), [], "both", False, "new", "not_started, none before", None,
                 id="could not start, none before"),
    pytest.param(EndpointConnectionError(endpoint_url="http://store"), [], "both", False, "none", "unreachable",
                 "none", id="never installed"),
    pytest.param(OSError(5, "I/O error"), [], "both", True, "gone", "other", "gone", id="the executable gone"),
    pytest.param(RuntimeError("no refusal"), [], "both", True, "new", "other", None, id="a new executable"),
    pytest.param(wrapped(carrying(refused("not_writable"), filename=PROGRAM_FILES)), [], "both", True, "kept",
                 "not_writable", "kept", id="not writable: the folder the refusal names"),
    pytest.param(refused("not_writable"), [], "both", True, "kept", "not_writable", "kept",
                 id="not writable, no folder named: the bot's"),
    pytest.param(refused("not_writable"), [], "spare", True, "kept", "not_writable", "kept",
                 id="not writable, no folder named, no log in bin: bin"),
])
def test_after_a_failure_the_window_has_the_hint_what_became_of_the_bot_and_the_log(
        tmp_path, monkeypatch, capsys, error, argv, logs, before, after, hint, bot):
    (tmp_path / "bots" / "bin").mkdir(parents=True)
    (tmp_path / "temp").mkdir()
    exe = tmp_path / "bots" / EXE_NAME
    if before:
        exe.write_bytes(b"old")
    folder = launcher.Bot(str(tmp_path / "bots" / "bin"))
    if after == "put back":  # set aside, then renamed back
        exe.rename(exe.with_suffix(".exe.old"))
        exe.with_suffix(".exe.old").rename(exe)
    elif after == "new":
        exe.unlink(missing_ok=True)
        exe.write_bytes(b"new")
    elif after == "gone":
        exe.unlink()
    log, spare = tmp_path / "bots" / "bin" / "update.log", tmp_path / "temp" / "kelvo_bot-update.log"
    monkeypatch.setattr(launcher, "LOG", str(log if logs == "both" else tmp_path / "gone" / "update.log"))
    monkeypatch.setattr(launcher, "SPARE_LOG", str(spare if logs != "none" else tmp_path / "gone" / "spare.log"))
    monkeypatch.setattr(sys, "argv", ["launcher.py", *argv])
    monkeypatch.delenv("UPDATER_DETAILS", raising=False)
    hooked = []
    launcher.on_failure(type(error), error, None, usual_hook=lambda *failure: hooked.append(failure), bot=folder)
    assert hooked == [(type(error), error, None)] * (bool(argv) or logs == "none")
    said = capsys.readouterr().err.splitlines()
    if hint is None:
        assert said == [] and not log.exists()
        return
    bots = str(tmp_path / "bots")
    # The folder the row's refusal names, else bin when the log could not be written there.
    named_folder = getattr(error.__context__, "filename", None) or (bots if logs == "both" else bots + "/bin")
    written = {"both": log, "spare": spare, "none": None}[logs]
    assert said == ["", *launcher.HINTS[hint][0].format(folder=named_folder).splitlines()] + (
        [launcher.BOT_NOW[bot][0].format(folder=bots)] if bot else []) + (
        [launcher.SEE_LOG[0].format(log=written)] if written else [])
    assert [path for path in (log, spare) if path.exists()] == [written] * bool(written)
    assert not written or type(error).__name__ in written.read_text("utf-8-sig")


def test_the_log_keeps_the_last_five_failures_with_their_time_and_fewer_past_64_kib(tmp_path):
    log = tmp_path / "update.log"
    start = datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
    for run in range(7):
        launcher.add_to_log(log, f"Traceback\nError {run}\n", now=start + datetime.timedelta(minutes=run))
    # One byte-order mark, at the start: without it Notepad shows the Russian lines as mojibake.
    assert log.read_bytes().startswith(codecs.BOM_UTF8) and log.read_bytes().count(codecs.BOM_UTF8) == 1
    records = log.read_text("utf-8-sig").split("==== ")
    assert records[0] == "" and [record.splitlines() for record in records[1:]] == [
        [f"2026-01-02 03:{4 + run:02}:05+00:00", "Traceback", f"Error {run}", ""] for run in range(2, 7)]
    for size in (30_000, 30_000, 30_000):  # two fit in 64 KiB, three do not
        launcher.add_to_log(log, "x" * size, now=start)
    assert log.read_text("utf-8-sig").count("x" * 30_000 + "\n") == 2 and "Error" not in log.read_text("utf-8-sig")
    launcher.add_to_log(log, "y" * 70_000, now=start)  # alone past the limit: the newest stays
    assert log.read_text("utf-8-sig").count("==== ") == 1 and "y" * 70_000 in log.read_text("utf-8-sig")
