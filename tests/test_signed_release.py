"""Signed releases: a build with the publisher's key against a real server, real files, a relay
in the attacker's place and real processes."""

import datetime
import hashlib
import os
import sys
import time
from contextlib import closing

import nacl.signing
import pytest

import local_s3
import release_statement
from conftest import (BUCKET, EXE_NAME, ROOT, UNCHANGED, bot_folder, build_dir, clean_environment, contents, run,
                      stub_bot, wait_for)
from fakes import OLD
from messages import EN, LANGUAGES, RU, WINDOWS_LOCALE, identical_lines, text
from relay import Relay

GENUINE = stub_bot(1)
EVIL = stub_bot(6)  # the attacker's program, of the same length
EVIL_DIGEST = hashlib.sha256(EVIL).hexdigest()
ATTACKER = nacl.signing.SigningKey(bytes(range(32)))
EVIL_STATEMENT = release_statement.make(ATTACKER, EVIL_DIGEST, len(EVIL), 99)
SWAPPED = {EXE_NAME: lambda _: EVIL, "exe_hash": lambda _: EVIL_DIGEST.encode()}
FLOOD = 300 * 1024 * 1024
RELEASE_KEY, SPARE_KEY = local_s3.test_signing_key(), local_s3.test_spare_key()
RECORD = "kelvo_bot.release"


def record(release, key=RELEASE_KEY):
    """The bot folder's record of `release`, signed by `key`, as the module writes it."""
    return f"release {release}\nkey {key.verify_key.encode().hex()}\n".encode()


def signed_run(run_updater, bots, proxy=None, language=None, **env):
    return run_updater(bots / "bin", build=build_dir("signed"), proxy=proxy,
                       UPDATER_LOCALE=",".join(WINDOWS_LOCALE[language or EN]), **env)


# Each attack: the statement the store holds, what a relay on the way rewrites, what the refusal
# names as its cause, whether the executable is downloaded before it, and the window's language:
# each language has a refusal after a download and one before it, the words being the same
# whatever the attack.
@pytest.mark.parametrize("statement, rewrite, cause, downloaded, language", [
    pytest.param("genuine", SWAPPED, "mismatch", True, EN, id="relay swaps executable and digest"),
    pytest.param("genuine", {**SWAPPED, "exe_hash.sig": lambda _: EVIL_STATEMENT}, "BadSignatureError",
                 False, RU, id="relay swaps executable, digest and statement, by another key"),
    pytest.param("genuine", {EXE_NAME: lambda _: EVIL}, "mismatch", True, RU,
                 id="relay swaps the executable only"),
    pytest.param("none", {}, "NoSuchKey", False, EN, id="no statement"),
    pytest.param("truncated", {}, "ValueError: the release statement has no line", False, RU,
                 id="truncated statement")])
def test_an_update_not_signed_by_the_publisher_changes_nothing(
        s3, run_updater, bots, tmp_path, statement, rewrite, cause, downloaded, language):
    s3.publish(GENUINE, signing_key=None if statement == "none" else ...)
    if statement == "truncated":
        s3.put("exe_hash.sig", s3.get("exe_hash.sig")[:150])
    with closing(Relay(s3.port, rewrite=rewrite)) as relay:
        run = signed_run(run_updater, bots, relay.proxy, language)
    assert run.returncode == 1
    # A genuine statement was accepted, and recorded, before the download: the refusal says so.
    said = ", recorded" if downloaded else ""
    last = f"RuntimeError: {text('unsigned' + said, language, release=1)}"
    assert run.stderr.rstrip().splitlines()[-1] == last, run.stderr
    assert (f"RuntimeError: {text(cause + said, language, release=1)}" if cause == "mismatch" else cause) in run.stderr
    assert run.lines[-1] == text("done" if downloaded else "differs", language)
    assert contents(bots) == UNCHANGED | ({RECORD: record(1)} if downloaded else {})
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
                 ("size, recorded", dict(stored=len(NEWER), signed=len(NEWER) + 1, release=1)),
                 id="size unlike the signed one, once recorded"),
])
def test_a_release_refused_by_its_statement_downloads_nothing(s3, run_updater, bots, publish, refusal, language):
    publish(s3, run_updater, bots)
    before, asked = contents(bots), s3.downloads()
    run = signed_run(run_updater, bots, language=language)
    key, fields = refusal
    assert run.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {text(key, language, **fields)}", run.stderr
    assert contents(bots) | {RECORD: None} == before | {RECORD: None} and s3.downloads() == asked


def raw_statement(release=1, exe=NEWER, expires="never", purpose=release_statement.PURPOSE, after=b"",
                  key=RELEASE_KEY):
    """A statement written line by line, as no publisher would: signed with `key`, `after` added
    after its last line."""
    message = (f"{release_statement.FIRST_LINE}\npurpose {purpose}\nsha256 {hashlib.sha256(exe).hexdigest()}\n"
               f"size {len(exe)}\nrelease {release}\nexpires {expires}\n").encode()
    return message + f"signature {key.sign(message).signature.hex()}\n".encode() + after


def utc_day(offset):
    return (datetime.datetime.now(datetime.UTC).date() + datetime.timedelta(days=offset)).isoformat()


TOP = 10**18 - 1  # the highest number of 18 digits
LEAP = 1_000_000  # how far above the same key's record (above 0 for another key or none) a release may be
OLD_FORMAT = b"release 5\nsha256 " + b"0" * 64 + b"\n"  # the record of earlier builds

# Statements at the edges of what the module takes, signed with the tests' keys: the record the
# bot folder holds, the statement, and what follows: "installed" (and recorded), "current" (the
# folder's bot is the release: it is recorded), or a refusal with its fields (for "unsigned",
# what the refusal names as its cause).
@pytest.mark.parametrize("recorded, statement, outcome", [
    pytest.param(None, raw_statement(purpose=f"other-bucket/{EXE_NAME}"), ("unsigned", "another bucket"),
                 id="made for another bucket"),
    pytest.param(None, raw_statement(after=b"\n"), ("unsigned", "does not end with one signature"),
                 id="a byte after the signature"),
    pytest.param(None, raw_statement(expires="2027-02-29"), ("unsigned", "has no expiry date"),
                 id="February 29 of a common year"),
    pytest.param(None, raw_statement(expires="2026-04-31"), ("unsigned", "has no expiry date"),
                 id="April 31"),
    pytest.param(None, raw_statement(release=10**18), ("unsigned", "has no release number"), id="19 digits"),
    pytest.param(None, raw_statement(expires="2096-02-29"), "installed", id="February 29 of a leap year"),
    pytest.param(None, raw_statement(expires=utc_day(0)), "installed", id="expires today in UTC"),
    pytest.param(None, raw_statement(expires=utc_day(-1)), ("expired", dict(date=utc_day(-1))),
                 id="expired yesterday in UTC"),
    pytest.param(record(5), raw_statement(release=5), "installed", id="an equal number repairs the bot"),
    pytest.param(OLD_FORMAT, raw_statement(release=4), ("older", dict(offered=4, installed=5)),
                 id="a record of the earlier format still binds"),
    pytest.param(record(5), raw_statement(release=5 + LEAP), "installed", id="the longest leap"),
    pytest.param(record(5), raw_statement(release=6 + LEAP), ("leap", dict(offered=6 + LEAP, limit=5 + LEAP)),
                 id="one past the longest leap"),
    pytest.param(None, raw_statement(release=TOP), ("leap", dict(offered=TOP, limit=LEAP)),
                 id="the top number with no record"),
    pytest.param(record(TOP - 5), raw_statement(release=TOP), "installed", id="the top number is reached step by step"),
    pytest.param(record(900), raw_statement(release=3, key=SPARE_KEY), "installed",
                 id="the spare starts afresh below the release key's record"),
    pytest.param(record(3 * LEAP + 2), raw_statement(release=LEAP + 1, key=SPARE_KEY),
                 ("leap", dict(offered=LEAP + 1, limit=LEAP)), id="another key's leap counts from 0"),
    pytest.param(record(5, SPARE_KEY), raw_statement(release=4, key=SPARE_KEY), ("older", dict(offered=4, installed=5)),
                 id="the spare's record binds the spare"),
    pytest.param(record(5, SPARE_KEY), raw_statement(release=6), ("retired", dict(offered=6, installed=5)),
                 id="the release key after the spare took over"),
    pytest.param(record(1), raw_statement(release=2, exe=OLD), "current", id="a current bot raises the record"),
    pytest.param(None, raw_statement(release=2, exe=OLD, key=SPARE_KEY), "current",
                 id="a current bot without a record is recorded"),
    pytest.param(record(3), raw_statement(release=3, exe=OLD), "kept", id="a current bot of the recorded release"),
    # A current bot takes a statement only as a download would: any other is refused, never current.
    pytest.param(record(3), raw_statement(release=2, exe=OLD), ("older", dict(offered=2, installed=3)),
                 id="a current bot's statement older than the record"),
    pytest.param(record(5, SPARE_KEY), raw_statement(release=6, exe=OLD), ("retired", dict(offered=6, installed=5)),
                 id="a current bot's statement by the retired key"),
    pytest.param(record(5), raw_statement(release=6 + LEAP, exe=OLD), ("leap", dict(offered=6 + LEAP, limit=5 + LEAP)),
                 id="a current bot's statement leaping past the bound"),
])
def test_a_statement_at_the_edges_is_taken_or_refused(s3, run_updater, bots, recorded, statement, outcome):
    exe = NEWER if b"\nsize %d\n" % len(NEWER) in statement else OLD
    if recorded is not None:
        (bots / RECORD).write_bytes(recorded)
    s3.put(EXE_NAME, exe)
    s3.put("exe_hash.sig", statement)
    s3.put("exe_hash", hashlib.sha256(exe).hexdigest().encode())
    asked = s3.downloads()
    run = signed_run(run_updater, bots)
    parsed = release_statement.parse(statement) if outcome in ("installed", "current", "kept") else None
    signer = SPARE_KEY if parsed and parsed.signed_by(SPARE_KEY.verify_key) else RELEASE_KEY
    if outcome in ("installed", "current"):
        assert run.returncode == 0, run.stderr
        assert contents(bots) == {"bin": {}, EXE_NAME: exe, RECORD: record(parsed.release, signer)}
        assert run.lines[-1] == (text("started") if outcome == "installed" else text("identical")[-1])
    elif outcome == "kept":
        assert run.returncode == 0 and run.lines[-1] == text("identical")[-1], run.stderr
        assert contents(bots) == UNCHANGED | {RECORD: recorded}
    else:
        key, fields = outcome
        last = run.stderr.rstrip().splitlines()[-1]
        if key == "unsigned":
            assert last == f"RuntimeError: {text('unsigned')}" and fields in run.stderr, run.stderr
        else:
            assert last == f"RuntimeError: {text(key, **fields)}", run.stderr
        assert contents(bots) == UNCHANGED | ({RECORD: recorded} if recorded else {})
        assert s3.downloads() == asked and text("identical")[2] not in run.lines


# Something else at the record's name stops the update before anything is downloaded, named and
# never followed.
@pytest.mark.parametrize("planted, error", [
    pytest.param("folder", f"IsADirectoryError: {text('folder')}", id="folder"),
    pytest.param("link", f"FileExistsError: {text('special file')}", id="link to a record elsewhere"),
    pytest.param("dangling", f"FileExistsError: {text('special file')}", id="dangling link"),
])
def test_something_at_the_records_name_is_named_before_the_download(s3, run_updater, bots, tmp_path, planted, error):
    elsewhere = tmp_path / "elsewhere"
    at = bots / RECORD
    if planted == "folder":
        at.mkdir()
    else:
        if planted == "link":
            elsewhere.write_bytes(record(1))
        at.symlink_to(elsewhere)
    s3.publish(NEWER, release=7)
    asked = s3.downloads()
    run = signed_run(run_updater, bots)
    assert run.stderr.rstrip().splitlines()[-1] == error.format(exe=at), run.stderr
    assert s3.downloads() == asked and (bots / EXE_NAME).read_bytes() == OLD
    assert not elsewhere.exists() or elsewhere.read_bytes() == record(1)


# The spare key takes over by a release signed with it (downloaded and installed), or by the
# current release signed again with it (a bot found current): from then on the release key,
# leaked say, is refused, and the spare's releases install.
@pytest.mark.parametrize("takeover", ["new release", "current release signed again"])
def test_once_the_spare_key_took_over_the_release_key_is_refused(s3, run_updater, bots, takeover):
    first, second, forged, third = stub_bot(31), stub_bot(32), stub_bot(33), stub_bot(34)
    s3.publish(first, release=1)
    assert signed_run(run_updater, bots).returncode == 0
    if takeover == "new release":
        s3.publish(second, release=2, signing_key=SPARE_KEY)
    else:
        s3.publish(first, release=2, signing_key=SPARE_KEY)
    took = signed_run(run_updater, bots)
    assert took.returncode == 0, took.stderr
    installed = second if takeover == "new release" else first
    assert contents(bots) == {"bin": {}, EXE_NAME: installed, RECORD: record(2, SPARE_KEY)}

    s3.publish(forged, release=3)
    asked = s3.downloads()
    refused = signed_run(run_updater, bots)
    assert refused.stderr.rstrip().splitlines()[-1] == f"RuntimeError: {text('retired', offered=3, installed=2)}"
    assert s3.downloads() == asked and (bots / EXE_NAME).read_bytes() == installed

    s3.publish(third, release=3, signing_key=SPARE_KEY)
    assert signed_run(run_updater, bots).returncode == 0
    assert contents(bots) == {"bin": {}, EXE_NAME: third, RECORD: record(3, SPARE_KEY)}


def test_the_documented_rotation_reaches_a_folder_a_leaked_key_pushed_high_and_one_left_untouched(
        s3, run_updater, tmp_path):
    first, second, forged = stub_bot(41), stub_bot(42), stub_bot(43)
    exe = tmp_path / EXE_NAME

    def publish(bot, key, *options):
        exe.write_bytes(bot)
        keyfile = tmp_path / "signing.key"
        keyfile.write_text(key.encode().hex())
        run([sys.executable, ROOT / "publisher" / "publisher.py", "--endpoint", s3.endpoint, "--proxy", s3.proxy,
             "--access-key-id", "k", "--secret-access-key", "s", "publish", "--not-a-windows-program",
             "--signing-key", keyfile, *options, exe], env=clean_environment(), check=True)

    def relayed(folder, rewrite):
        with closing(Relay(s3.port, rewrite=rewrite)) as relay:
            return signed_run(run_updater, folder, relay.proxy)

    pushed, untouched = (bot_folder(tmp_path / name, exe=None) for name in ("pushed", "untouched"))
    publish(first, RELEASE_KEY, "--after-release", "1")
    assert [signed_run(run_updater, folder).returncode for folder in (pushed, untouched)] == [0, 0]
    # The leaked release key drives one folder up, a leap at a time, by statements of the bot it has.
    for number in (LEAP + 2, 2 * LEAP + 2, 3 * LEAP + 2):
        assert relayed(pushed, {"exe_hash.sig": lambda _, n=number: raw_statement(n, first)}).returncode == 0
    assert (pushed / RECORD).read_bytes() == record(3 * LEAP + 2)

    # The rotation: the spare signs the next release, on purpose.
    publish(second, SPARE_KEY, "--new-signing-key")
    for folder in (pushed, untouched):
        assert signed_run(run_updater, folder).returncode == 0
        assert contents(folder) == {"bin": {}, EXE_NAME: second, RECORD: record(3, SPARE_KEY)}

    # The leaked key is refused in both, however high it numbers.
    leak = {**SWAPPED, "exe_hash.sig": lambda _: raw_statement(3 * LEAP + 3, EVIL)}
    for folder in (pushed, untouched):
        refused = relayed(folder, leak)
        assert refused.stderr.rstrip().splitlines()[-1] == (
            f"RuntimeError: {text('retired', offered=3 * LEAP + 3, installed=3)}"), refused.stderr
        assert (folder / EXE_NAME).read_bytes() == second


def test_the_record_is_never_writable_by_others_whatever_the_umask(s3, run_updater, bots):
    s3.publish(NEWER)
    run = signed_run(run_updater, bots, prefix=["sh", "-c", 'umask 0 && exec "$@"', "umask 0"])
    assert run.returncode == 0, run.stderr
    assert (bots / RECORD).stat().st_mode & 0o777 == 0o644


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
    pytest.param({"exe_hash": lambda _: bytes(FLOOD)}, {"exe_hash": "300 Multiple Choices"},
                 NOT_FOUND.replace("(404)", "(Unknown)").replace("Not Found", "Unknown"), id="a 3xx answer"),
])
def test_an_endless_answer_is_cut_off_with_memory_and_disk_flat(s3, run_updater, bots, rewrite, status, refused):
    new = stub_bot(4) + os.urandom(4 * 1024 * 1024)
    s3.publish(new)
    with closing(Relay(s3.port, rewrite=rewrite, status=status)) as relay:
        run = signed_run(run_updater, bots, relay.proxy)
    if status:
        assert run.stderr.rstrip().splitlines()[-1] == refused, run.stderr
    else:
        expected = text("object too long", name=refused) if refused else text("oversized, recorded", size=len(new),
                                                                              release=1)
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


def test_the_built_module_and_the_publisher_agree_on_the_statement_its_object_names_and_keys():
    # The facts a store and a module share: a publisher's statement the module could not read,
    # or an object it never asks for, would refuse every release.
    import publisher as publisher_tool

    module = next(build_dir("signed").glob("updater_core*")).read_bytes()
    for text_ in (f"{release_statement.FIRST_LINE}\n", publisher_tool.EXE_KEY, publisher_tool.HASH_KEY,
                  publisher_tool.STATEMENT_KEY, BUCKET):
        assert text_.encode() + b"\0" in module, text_
    release_hex, spare_hex = (key.verify_key.encode().hex() for key in (RELEASE_KEY, SPARE_KEY))
    assert publisher_tool.release_key(module).startswith(release_hex)
    assert f"spare-public-key={spare_hex}\0".encode() in module
