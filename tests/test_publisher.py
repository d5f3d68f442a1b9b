"""The publisher's tool against the real local server, and the updater after it."""

import hashlib
import re
import signal
import socket
import subprocess
import sys
from datetime import date, timedelta

import nacl.signing
import pytest

import publisher as publisher_tool
import release_statement
from conftest import BUCKET, EXE_NAME, ROOT, build_dir, clean_environment, local_s3, run, seaweedfs
from harness import die_with_parent, ended_after
from messages import text

pytestmark = pytest.mark.tools

# A program the updater can start once it has installed it.
EXE = b"#!/bin/sh\nexit 0\n" + b"# published bot\n" * 1000
DIGEST = hashlib.sha256(EXE).hexdigest().encode()
OTHER_EXE = EXE.replace(b"exit 0", b"exit 2")  # of the same size
OTHER_KEY = nacl.signing.SigningKey(bytes(range(32)))


def publisher(*argv, **env):
    """The tool's command line in its own process: (exit status, stdout, stderr)."""
    done = run([sys.executable, ROOT / "publisher" / "publisher.py", *argv], env=clean_environment(**env))
    return done.returncode, done.stdout, done.stderr


def failure(*argv, **env):
    """The tool's error, which must be one line."""
    code, _, err = publisher(*argv, **env)
    assert code == 1 and err.startswith("error: ") and err.count("\n") == 1, err
    return err


@pytest.fixture
def options(s3):
    return ["--endpoint", s3.endpoint, "--proxy", s3.proxy,
            "--access-key-id", "k", "--secret-access-key", "s"]


@pytest.fixture
def exe(tmp_path):
    path = tmp_path / EXE_NAME
    path.write_bytes(EXE)
    return path


def test_publish_then_verify_and_the_updater_finds_it_current(options, s3, exe, tmp_path, run_updater):
    code, out, err = publisher(*options, "publish", str(exe))
    assert code == 0 and f"sha256 {DIGEST.decode()}" in out, err
    assert s3.client.get_object(Bucket=BUCKET, Key="exe_hash")["Body"].read() == DIGEST
    assert publisher("verify", *options)[0] == 0  # options after the subcommand too

    run = run_updater(tmp_path)
    assert run.returncode == 0, run.stderr
    assert text("identical")[2] in run.lines


def test_signed_round_trip_keygen_publish_verify_and_a_signed_build_installs(
        options, s3, exe, tmp_path, run_updater):
    keyfile, test_key = tmp_path / "release.key", tmp_path / "test.key"
    code, public, err = publisher("keygen", str(keyfile))
    assert code == 0, err
    public = public.splitlines()[-1]
    assert oct(keyfile.stat().st_mode & 0o777) == "0o600" and len(public) == 64
    assert publisher("keygen", str(keyfile))[0] == 1  # never replaces a key
    code, out, err = publisher(*options, "publish", "--signing-key", str(keyfile), str(exe))
    assert code == 0 and out.rstrip().endswith(", release 1, expires never"), err
    assert publisher("verify", *options, "--public-key", public)[0] == 0
    assert publisher("verify", *options, "--signing-key", str(keyfile))[0] == 0
    test_key.write_text(local_s3.TEST_SIGNING_SEED.hex())
    code, out, _ = publisher("verify", *options, "--signing-key", str(test_key))
    assert code == 1 and "NOT OK: exe_hash.sig (release 1) is not signed by this key" in out

    # A build with the tests' key takes only what that key signed.
    bots = tmp_path / "bots"
    (bots / "bin").mkdir(parents=True)
    assert run_updater(bots / "bin", build=build_dir("signed")).returncode == 1
    assert publisher(*options, "publish", "--signing-key", str(test_key), str(exe))[0] == 0
    run = run_updater(bots / "bin", build=build_dir("signed"), BOT_RECORD=str(tmp_path / "started"))
    assert run.returncode == 0 and (bots / EXE_NAME).read_bytes() == EXE, run.stderr


def test_releases_are_numbered_across_a_key_change_a_rollback_is_a_new_one_and_refresh_renews_it(
        options, s3, exe, tmp_path):
    old_key, new_key, other = tmp_path / "old.key", tmp_path / "new.key", tmp_path / "other.exe"
    old_key.write_text(OTHER_KEY.encode().hex())
    new_key.write_text(local_s3.TEST_SIGNING_SEED.hex())
    other.write_bytes(OTHER_EXE)
    in_a_week = release_statement.utc_today() + timedelta(days=7)

    def publish(path, key, *more):
        code, out, err = publisher(*options, "publish", "--signing-key", str(key), *more, str(path))
        assert code == 0, err
        return out.splitlines()[-1], err

    assert publish(exe, old_key)[0].endswith(", release 1, expires never")
    assert publish(other, old_key, "--expires-in", "7")[0].endswith(f", release 2, expires {in_a_week}")
    # The first executable again, rolled back to by a new key: the next number all the same.
    line, err = publish(exe, new_key)
    assert line.endswith(", release 3, expires never")
    assert "warning: the current release 2 is not signed by this key" in err

    code, out, err = publisher(*options, "refresh", "--signing-key", str(new_key), "--expires-in", "30")
    in_a_month = release_statement.utc_today() + timedelta(days=30)
    assert code == 0 and out == f"Refreshed release 3: expires {in_a_month} (was never)\n", err
    statement = release_statement.parse(s3.get("exe_hash.sig"))
    assert (statement.release, statement.sha256, statement.size, statement.expires) == (
        3, DIGEST.decode(), len(EXE), in_a_month)
    assert statement.signed_by(local_s3.test_signing_key().verify_key)
    assert s3.get("exe_hash") == DIGEST and s3.get(EXE_NAME) == EXE


@pytest.mark.parametrize("published, problem", [
    (DIGEST + b"\n", "ends with a line end"),
    (b" " + DIGEST + b" ", "spaces or line ends around"),
    (DIGEST.upper(), "upper case"),
    (DIGEST[:40], "40 bytes long"),
    (b"z" * 64, "not lower-case hexadecimal"),
    (hashlib.sha256(b"other").hexdigest().encode(), "digest of another file"),
    (DIGEST + b"  kelvo_bot.exe\n", "a line of sha256sum's output (digest, spaces, file name)"),
    (DIGEST.upper() + b" *bot.exe", "a line of sha256sum's output (digest, spaces, file name)"),
    (hashlib.sha256(b"other").hexdigest().encode() + b"  kelvo_bot.exe", "file name, and of another file"),
])
def test_verify_explains_each_wrong_digest(options, s3, published, problem):
    s3.publish(EXE, digest=published, signing_key=None)
    code, out, _ = publisher("verify", *options)
    assert code == 1
    assert problem in out


def swap_executable(s3):
    """A statement of OTHER_EXE over EXE and its digest."""
    s3.publish(OTHER_EXE)
    s3.put(EXE_NAME, EXE)
    s3.put("exe_hash", DIGEST)


YESTERDAY = release_statement.utc_today() - timedelta(days=1)
PUBLISH_SIGNED = "Publish the release signed: `python publisher/publisher.py publish --signing-key KEYFILE"


@pytest.mark.parametrize("store, says", [
    pytest.param(lambda s3: s3.publish(EXE, expires=YESTERDAY + timedelta(days=1)),
                 f"OK: exe_hash.sig is release 1 of this executable, signed by this key, expires "
                 f"{YESTERDAY + timedelta(days=1)}", id="expires today"),
    pytest.param(lambda s3: s3.publish(EXE, expires=YESTERDAY),
                 f"NOT OK: release 1 expired at the end of {YESTERDAY} (UTC): a module built with this "
                 f"key refuses the update. Sign it again with a new expiry: `python publisher/publisher.py "
                 f"refresh --signing-key KEYFILE --expires-in DAYS`.", id="expired"),
    pytest.param(lambda s3: s3.publish(EXE, signing_key=None),
                 f"NOT OK: there is no exe_hash.sig: a module built with this key refuses the update. "
                 f"{PUBLISH_SIGNED}", id="none"),
    pytest.param(lambda s3: s3.publish(EXE, signing_key=OTHER_KEY),
                 "NOT OK: exe_hash.sig (release 1) is not signed by this key", id="another key"),
    pytest.param(lambda s3: (s3.publish(EXE), s3.put("exe_hash.sig", OTHER_KEY.sign(DIGEST).signature)),
                 "NOT OK: exe_hash.sig is not a release statement: it is not ASCII text", id="raw signature"),
    pytest.param(swap_executable, "NOT OK: exe_hash.sig (release 1) is the statement of another "
                 "executable", id="another digest"),
    pytest.param(lambda s3: s3.publish(EXE, size=len(EXE) + 1),
                 f"NOT OK: exe_hash.sig (release 1) is the statement of another executable "
                 f"({len(EXE) + 1} bytes", id="another size"),
])
def test_verify_with_the_public_key_checks_the_release_statement(options, s3, store, says):
    store(s3)
    code, out, _ = publisher("verify", *options, "--public-key",
                             local_s3.test_signing_key().verify_key.encode().hex())
    assert out.startswith(says) and code == (0 if says.startswith("OK") else 1), out


def test_each_failure_is_one_line(options, s3, exe, tmp_path):
    assert "is not a file" in failure(*options, "publish", str(tmp_path / "missing.exe"))
    assert "no endpoint" in failure("verify")
    assert "'storage.example.com' (--endpoint) is not an endpoint URL" in failure(
        *options, "verify", "--endpoint", "storage.example.com")
    assert "'http://x:port' (KELVO_ENDPOINT_URL) is not" in failure(
        "verify", KELVO_ENDPOINT_URL="http://x:port")
    assert "reading exe_hash failed: nothing is published as exe_hash" in failure("verify", *options)
    s3.put("exe_hash", DIGEST)
    assert "nothing is published as kelvo_bot.exe" in failure("verify", *options)
    assert "checking bucket kelvo-bot failed: no credentials" in failure(
        "publish", str(exe), *options[:4])
    assert "the storage is unreachable" in failure(
        "publish", str(exe), *options, "--proxy", "http://127.0.0.1:9", AWS_MAX_ATTEMPTS="1")
    # A Python that can import neither progressbar nor PyNaCl: modules of those names that fail,
    # first on the path. The tool names both at once, before it makes any storage call.
    (tmp_path / "progressbar.py").write_text("raise ImportError('no progressbar here')")
    (tmp_path / "nacl").mkdir()
    (tmp_path / "nacl" / "__init__.py").write_text("raise ImportError('no PyNaCl here')")
    earlier = len(s3.requests())
    assert failure(*options, "publish", "--signing-key", "KEY", str(exe), PYTHONPATH=str(tmp_path)) == (
        f"error: publish needs progressbar and pynacl, which this Python lacks: install them with "
        f"`{sys.executable} -m pip install progressbar pynacl`\n")
    assert s3.requests()[earlier:] == []

    # The tool may use an endpoint the module would refuse (here the server itself, at its
    # port), but says so.
    code, out, err = publisher("publish", str(exe), "--endpoint", f"http://127.0.0.1:{s3.port}",
                               *options[2:])
    assert code == 0, err
    assert err.startswith(f"warning: a module build refuses the endpoint http://127.0.0.1:{s3.port} ")


@pytest.mark.parametrize("store, command, refusal", [
    pytest.param(lambda s3: s3.publish(OTHER_EXE), ["publish", "EXE"],
                 "the store holds exe_hash.sig, a signed release: a module built with a release key "
                 "refuses a release without one. Publish with --signing-key KEYFILE", id="publish unsigned"),
    pytest.param(lambda s3: s3.publish(OTHER_EXE), ["publish", "--expires-in", "3", "EXE"],
                 "--expires-in is the expiry of a signed release: add --signing-key", id="expiry unsigned"),
    pytest.param(lambda s3: s3.publish(EXE, signing_key=None), ["refresh", "--signing-key", "KEY"],
                 "there is no exe_hash.sig to refresh: publish the release with `publish --signing-key",
                 id="refresh nothing signed"),
    pytest.param(lambda s3: (s3.publish(EXE), s3.put("exe_hash.sig", b"kelvo-bot release statement 2\n")),
                 ["refresh", "--signing-key", "KEY"], "exe_hash.sig is not a release statement (its "
                 "first line is 'kelvo-bot release statement 2'", id="refresh another format"),
    pytest.param(lambda s3: s3.publish(EXE, signing_key=OTHER_KEY), ["refresh", "--signing-key", "KEY"],
                 "release 1 is not signed by this key", id="refresh another key's"),
    pytest.param(lambda s3: (s3.publish(EXE), s3.put("exe_hash", hashlib.sha256(OTHER_EXE).hexdigest())),
                 ["refresh", "--signing-key", "KEY"],
                 "the store no longer holds release 1 (exe_hash is not its digest)", id="refresh new digest"),
    pytest.param(lambda s3: s3.publish(EXE, size=len(EXE) - 1), ["refresh", "--signing-key", "KEY"],
                 f"the store no longer holds release 1 (kelvo_bot.exe holds {len(EXE)} bytes, not its "
                 f"{len(EXE) - 1})", id="refresh new size"),
])
def test_each_guard_refuses_in_one_line_before_any_write(options, s3, exe, tmp_path, store, command, refusal):
    store(s3)
    earlier = len(s3.requests())
    key = tmp_path / "release.key"
    key.write_text(local_s3.TEST_SIGNING_SEED.hex())
    argv = [{"EXE": str(exe), "KEY": str(key)}.get(word, word) for word in command]
    assert refusal in failure(*options, *argv)
    assert writes(s3.requests()[earlier:]) == []


def writes(requests):
    """(method, key) of each write in moto's request log; the write test's object as .publish-probe."""
    found = [re.search(r"(PUT|DELETE) \S*/kelvo-bot/(\S*?)(-[0-9a-f]{16})? ", line) for line in requests]
    return [write.groups()[:2] for write in found if write]


@pytest.mark.parametrize("signed, statement, stored", [
    (True, ("PUT", "exe_hash.sig"), {EXE_NAME, "exe_hash.sig", "exe_hash"}),
    (False, ("DELETE", "exe_hash.sig"), {EXE_NAME, "exe_hash"}),
], ids=["--signing-key", "--unsigned"])
def test_publish_writes_the_executable_then_the_statement_then_the_digest(
        options, s3, exe, tmp_path, signed, statement, stored):
    s3.publish(OTHER_EXE)
    key = tmp_path / "release.key"
    key.write_text(local_s3.TEST_SIGNING_SEED.hex())
    earlier = len(s3.requests())
    code, _, err = publisher(*options, "publish", *(["--signing-key", str(key)] if signed else ["--unsigned"]),
                             str(exe))
    assert code == 0, err
    assert writes(s3.requests()[earlier:]) == [("PUT", ".publish-probe"), ("DELETE", ".publish-probe"),
                                               ("PUT", EXE_NAME), statement, ("PUT", "exe_hash")]
    assert {item["Key"] for item in s3.client.list_objects_v2(Bucket=BUCKET)["Contents"]} == stored


def test_a_statement_reads_back_and_any_changed_byte_is_refused():
    key = local_s3.test_signing_key()
    statement = release_statement.make(key, DIGEST.decode(), len(EXE), 7, date(2031, 1, 2))
    parsed = release_statement.parse(statement)
    assert (parsed.sha256, parsed.size, parsed.release, parsed.expires) == (
        DIGEST.decode(), len(EXE), 7, date(2031, 1, 2))
    assert parsed.signed_by(key.verify_key) and not parsed.signed_by(OTHER_KEY.verify_key)
    assert not parsed.expired(date(2031, 1, 2)) and parsed.expired(date(2031, 1, 3))
    with pytest.raises(release_statement.StatementError):  # never writes what it would refuse
        release_statement.make(key, DIGEST.decode().upper(), len(EXE), 7)
    for at in range(len(statement)):
        tampered = bytearray(statement)
        tampered[at] ^= 1
        try:
            assert not release_statement.parse(bytes(tampered)).signed_by(key.verify_key), at
        except release_statement.StatementError:
            pass


STATEMENT = release_statement.make(local_s3.test_signing_key(), DIGEST.decode(), 100, 7)


@pytest.mark.parametrize("malformed, problem", [
    (STATEMENT.replace(b"\n", b"\r\n"), "CR LF line ends"),
    (STATEMENT[:-1], "its last line has no line end"),
    (STATEMENT + b"\n" * (4097 - len(STATEMENT)), "4097 bytes long, more than 4096"),
    (STATEMENT.replace(b"statement 1", b"statement 2"), "its first line is"),
    (STATEMENT.replace(b"size 100", b"size 0100"), "line 4 is 'size 0100'"),
    (STATEMENT.replace(b"release 7", b"release " + b"9" * 19), "line 5 is 'release 9999"),
    (STATEMENT.replace(b"expires never", b"expires 2031-02-30"), "expires 2031-02-30 is not a date"),
    (STATEMENT.replace(b"\nsignature", b"\nnote 1\nsignature"), "it has 8 lines, not 7"),
], ids=["CR LF", "no last LF", "4097 bytes", "version 2", "leading zero", "19 digits", "no such date",
        "a line more"])
def test_a_malformed_statement_is_refused_saying_why(malformed, problem):
    with pytest.raises(release_statement.StatementError, match=re.escape(problem)):
        release_statement.parse(malformed)


def test_a_missing_bucket_is_named_before_any_upload_and_create_bucket_makes_it_once(options, s3, exe):
    s3.client.delete_bucket(Bucket=BUCKET)
    earlier = len(s3.requests())
    try:
        assert (f"bucket kelvo-bot does not exist at {s3.endpoint}: create it with "
                f"`python publisher/publisher.py --endpoint {s3.endpoint} create-bucket`") in failure(
            "publish", str(exe), *options)
        assert not [line for line in s3.requests()[earlier:] if EXE_NAME in line]
        code, out, err = publisher(*options, "create-bucket")
        assert code == 0 and out.startswith("Created bucket kelvo-bot"), err
        s3.client.head_bucket(Bucket=BUCKET)
    finally:
        s3.client.create_bucket(Bucket=BUCKET)  # moto: the bucket that was already there is kept
    code, out, err = publisher(*options, "create-bucket")
    assert code == 0 and "already exists" in out, err


@pytest.mark.parametrize("build, trusted", [
    ("native", "none: this build installs releases without a signature"),
    ("signed", f"{local_s3.test_signing_key().verify_key.encode().hex()} (only releases signed with "
               f"its private key install)"),
])
def test_inspect_shows_the_release_key_a_build_trusts(build, trusted):
    code, out, err = publisher("inspect", str(build_dir(build)))
    assert code == 0 and f"\n  release key: {trusted}\n" in out, out + err


def test_every_command_and_option_has_help():
    parser = publisher_tool.command_line()
    commands = parser._subparsers._group_actions[0]
    for choice in commands._choices_actions:
        assert choice.help, choice.dest
    for command in (parser, *commands.choices.values()):
        for action in command._actions:
            assert action.help, (command.prog, action.dest)


def test_serve_takes_a_free_port_and_ctrl_c_ends_it_with_130(tmp_path):
    # Started as from a terminal: SIGINT as its default, whatever this process was given.
    with ended_after(subprocess.Popen(
            [sys.executable, str(ROOT / "publisher" / "publisher.py"), "serve", "--port", "0"],
            env=clean_environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            preexec_fn=lambda: (signal.signal(signal.SIGINT, signal.SIG_DFL), die_with_parent()))) as process:
        ready = process.stdout.readline()
        assert re.match(r"Serving bucket kelvo-bot on http://127\.0\.0\.1:[1-9]\d*; ", ready), ready
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=30)
    assert process.returncode == 130
    assert err.splitlines()[-1] == "interrupted" and "Traceback" not in err


@pytest.mark.seaweedfs
def test_the_store_starts_again_on_other_ports_when_another_process_took_one(monkeypatch):
    """Ports are picked free before `weed` listens on them: the gateway's is taken in between."""
    picked, taker = [], socket.socket()
    taker.bind(("127.0.0.1", 0))
    real = seaweedfs.free_ports

    def free_ports(count):
        picked.append(real(count))
        if len(picked) == 1:
            picked[0][3] = taker.getsockname()[1]   # the gateway's: master, volume, filer, s3
        return picked[-1]

    monkeypatch.setattr(seaweedfs, "free_ports", free_ports)
    with taker, seaweedfs.serving(("module", "secret"), timeout=30) as store:
        assert len(picked) == 2 and store.port == picked[1][3] != taker.getsockname()[1]
        store.client().put_object(Bucket=BUCKET, Key="exe_hash", Body=b"0" * 64)


@pytest.mark.parametrize("s3_server", ["seaweedfs"], indirect=True)
def test_publish_with_the_module_keys_is_refused_before_anything_is_uploaded(s3, native_build, exe):
    module_id, module_secret = seaweedfs.built_keys(native_build)
    code, _, err = publisher("--endpoint", s3.endpoint, "--proxy", s3.proxy, "--access-key-id",
                             module_id, "--secret-access-key", module_secret, "publish", str(exe))
    assert code == 1 and err.startswith("error: these keys may not write bucket kelvo-bot"), err
    assert "nothing was uploaded" in err and "Uploading" not in err
    assert s3.client.list_objects_v2(Bucket=BUCKET).get("Contents", []) == []
