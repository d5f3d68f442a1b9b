"""Every call the module makes, made to fail in turn.

A run is recorded call by call; then, for each call of the record, the run is repeated with
that one call raising a distinctive exception. Nothing may catch it: the same object leaves the
import, with the traceback entries of the statement and the functions it passed through, and
no later call happens but the close of a file the failing code had open (as `with` does), the
moves that put the old executable back (the bot directory never ends up without one) and the
removal of the file that was to be installed.
Because every position of the record is injected, a call added to the module is covered the
moment it appears.
"""

import copy

import pytest

from fakes import BOT, NEW, OLD, FakeClient, entries, fake_world, import_module
from messages import LANGUAGES, RU, WINDOWS_LOCALE, text
from project import BUCKET, EXE_NAME
from statement_lines import at

SCENARIOS = {
    "identical": dict(preset="current"),
    "update from bin": dict(preset="update"),
    "changed, bot directory": dict(preset="update", cwd="D:\\bots", locale=WINDOWS_LOCALE[RU]),
    "posix update": dict(preset="missing", posix=True),
    "read-only leftovers": dict(preset="update", files={BOT: OLD, BOT + ".old": b"older"},
                                read_only={BOT, BOT + ".old"}),
}
CONFIGURATION = {"locale.getlocale": "getlocale", "urllib3.disable_warnings": "disable_warnings",
                 "boto3.session.Session": "session", "session.client": "client",
                 "events.register": "client"}


def said(key):
    """The message in every language."""
    return {text(key, language) for language in LANGUAGES}


# The last message of a check that finds an update needed.
CHECK_ENDS = said("start") | said("differs")
# The calls that may change the bot folder's executable.
REPLACING = ("os.replace", "os.rename", "os.unlink")


def changes_executable(call):
    return call[0] in REPLACING and any(str(a).endswith(("\\kelvo_bot.exe", "/kelvo_bot.exe"))
                                        for a in call[1:])


class Injected(Exception):
    """The exception an injected call raises."""


def world(name, **extra):
    settings = dict(copy.deepcopy(SCENARIOS[name]), **extra)
    return fake_world(settings.pop("preset"), **settings)


def assert_download_checked(calls):
    """Known here, not taken from the module's record: after "Download done." the published
    digest is read again before any call that changes the executable."""
    done = next(i for i, c in enumerate(calls) if c[0] == "print" and c[1] in said("done"))
    first_change = next((i for i, c in enumerate(calls) if i > done and changes_executable(c)), len(calls))
    between = calls[done:first_change]
    assert ("s3.get_object", (("Bucket", BUCKET), ("Key", "exe_hash"))) in between, between
    assert ("Body.read", 4097) in between, between


def expected_entries(calls, index):
    """The traceback entries a failure of calls[index] must carry, outermost first."""
    name = calls[index][0]
    if name in CONFIGURATION:
        return [at(CONFIGURATION[name])]
    if name == "time.sleep" and calls[index][1] == 60:
        return [at("wait")]
    if name == "sys.exit":
        return [at("exit")]
    prints = [i for i, c in enumerate(calls) if c[0] == "print"]
    if index < prints[0]:  # the lock and the put-back of a set-aside copy, before the check
        return [at("check")]
    check_ends = [i for i in prints if calls[i][1] in CHECK_ENDS]
    starts_update = check_ends[0] + 1 if check_ends else len(calls)
    if index < starts_update:
        entries = [at("check"), at("check_update_is_needed")]
        if name in ("open", "file.close"):
            entries.append(at("get_hash_digest"))
        elif name in ("s3.get_object", "Body.read"):
            entries.append(at("s3_file_reader"))
        return entries
    entries = [at("update"), at("get_update")]
    replacing = next(i for i, c in enumerate(calls) if c[0] == "print" and c[1] in said("replacing"))
    done = max(i for i, c in enumerate(calls) if c[0] == "print")
    if replacing < index < done and name != "file.close":  # the file is closed after replace_exe
        entries.append(at("replace_exe"))
    elif name == "bar.update":
        entries.append(at("transfer_progress"))
    elif name in ("s3.get_object", "Body.read"):  # the published digest, read again
        entries.append(at("s3_file_reader"))
    # the download is hashed by get_update itself, in large pieces
    return entries


@pytest.mark.parametrize("name", SCENARIOS)
def test_every_call_failing_in_turn_propagates_unchanged(name, native_build, windows_build):
    build = native_build if SCENARIOS[name].get("posix") else windows_build
    baseline = world(name)
    assert isinstance(import_module(build, baseline).error, SystemExit)
    calls = baseline.calls
    if name != "identical":
        assert_download_checked(calls)
    assert len(calls) > 15
    for index, call in enumerate(calls):
        error = Injected(f"call {index}: {call[0]}")
        injected = world(name, fail_at=index, fail_with=error)
        outcome = import_module(build, injected)
        where = f"{name}: failure of call {index} {call}"

        assert outcome.error is error, where
        assert entries(error) == expected_entries(calls, index), where

        # Nothing after the failing call, but the close of the file its `with` had open, or the
        # moves that put the old executable back.
        extra = injected.calls[index + 1 :]
        assert injected.calls[: index + 1] == calls[: index + 1], where
        closes = [c for c in extra if c[0] == "file.close"]
        assert len(closes) <= 1 and not (closes and call[0] == "file.close"), (where, extra)
        assert all(c[0] in ("file.close", "os.replace") or c[0] == "os.unlink" and c[1].endswith("kelvo_bot.temp")
                   for c in extra), (where, extra)
        # Only an executable already set aside is put back.
        set_aside = any(c[0] == "os.replace" for c in calls[:index])
        assert set_aside or not any(c[0] == "os.replace" for c in extra), (where, extra)
        printed = [c for c in calls[:index] if c[0] == "print"]
        assert [c for c in injected.calls if c[0] == "print"][: len(printed)] == printed
        for exe, content in world(name).files.items():
            if exe.endswith(EXE_NAME):
                assert injected.files.get(exe) in (content, NEW), where


class TestUnusableResults:
    """Calls that return something the module cannot use fail with the interpreter's error."""

    def run(self, windows_build, **settings):
        w = world("update from bin", **settings)
        return w, import_module(windows_build, w)

    @pytest.mark.parametrize("call, answer, missing", [
        ("get_object", {}, "Body"), ("head_object", {"Size": 3}, "ContentLength")])
    def test_a_response_without_the_field_used(self, windows_build, monkeypatch, call, answer, missing):
        monkeypatch.setattr(FakeClient, call, lambda self, **kw: answer)
        w, outcome = self.run(windows_build)
        assert type(outcome.error) is KeyError and outcome.error.args == (missing,)
        assert not w.names("print")[2:]

    def test_non_str_working_directory(self, windows_build):
        w, outcome = self.run(windows_build, cwd=b"D:\\bots\\bin")
        assert type(outcome.error) is TypeError
        assert "endswith first arg must be bytes or a tuple of bytes, not str" in str(outcome.error)

    def test_truth_test_that_raises(self, windows_build):
        class Undecided:
            def __bool__(self):
                raise RuntimeError("no truth")

        w = world("identical")
        w.hooks["session.client"] = lambda *a: None
        w.hooks["print"] = lambda *a: setattr(w.module, "RU", Undecided()) if w.module.RU is False else None
        outcome = import_module(windows_build, w)
        assert str(outcome.error) == "no truth"
        assert len(w.names("print")) == 1
