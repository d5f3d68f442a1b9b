"""The publisher's tool against the real local server, and the updater after it."""

import hashlib
import re
import signal
import subprocess
import sys

import pytest

import publisher as publisher_tool
from conftest import BUCKET, ROOT, build_dir, clean_environment, local_s3, run, seaweedfs
from harness import die_with_parent, ended_after
from messages import text

pytestmark = pytest.mark.tools

# A program the updater can start once it has installed it.
EXE = b"#!/bin/sh\nexit 0\n" + b"# published bot\n" * 1000
DIGEST = hashlib.sha256(EXE).hexdigest().encode()


def publisher(*argv, **env):
    """The tool's command line in its own process: (exit status, stdout, stderr)."""
    done = run([sys.executable, ROOT / "tools" / "publisher.py", *argv], env=clean_environment(**env))
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
    path = tmp_path / "kelvo_bot.exe"
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
    assert code == 0 and out.rstrip().endswith(", signed"), err
    assert publisher("verify", *options, "--public-key", public)[0] == 0
    assert publisher("verify", *options, "--signing-key", str(keyfile))[0] == 0
    test_key.write_text(local_s3.TEST_SIGNING_SEED.hex())
    code, out, _ = publisher("verify", *options, "--signing-key", str(test_key))
    assert code == 1 and "NOT OK: exe_hash.sig is not this key's signature" in out

    # A build with the tests' key takes only what that key signed.
    bots = tmp_path / "bots"
    (bots / "bin").mkdir(parents=True)
    assert run_updater(bots / "bin", build=build_dir("signed")).returncode == 1
    assert publisher(*options, "publish", "--signing-key", str(test_key), str(exe))[0] == 0
    run = run_updater(bots / "bin", build=build_dir("signed"), BOT_RECORD=str(tmp_path / "started"))
    assert run.returncode == 0 and (bots / "kelvo_bot.exe").read_bytes() == EXE, run.stderr


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
    s3.publish(EXE, digest=published)
    code, out, _ = publisher("verify", *options)
    assert code == 1
    assert problem in out


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
    # A Python that cannot import progressbar: a module of that name that fails, first on the
    # path. The tool says so before it makes any storage call.
    (tmp_path / "progressbar.py").write_text("raise ImportError('no progressbar here')")
    earlier = len(s3.requests())
    assert failure(*options, "publish", str(exe), PYTHONPATH=str(tmp_path)).startswith(
        "error: publish needs progressbar")
    assert s3.requests()[earlier:] == []

    # The tool may use an endpoint the module would refuse (here the server itself, at its
    # port), but says so.
    code, out, err = publisher("publish", str(exe), "--endpoint", f"http://127.0.0.1:{s3.port}",
                               *options[2:])
    assert code == 0, err
    assert err.startswith(f"warning: a module build refuses the endpoint http://127.0.0.1:{s3.port} ")


def test_a_missing_bucket_is_named_before_any_upload_and_create_bucket_makes_it_once(options, s3, exe):
    s3.client.delete_bucket(Bucket=BUCKET)
    earlier = len(s3.requests())
    try:
        assert (f"bucket kelvo-bot does not exist at {s3.endpoint}: create it with "
                f"`python tools/publisher.py --endpoint {s3.endpoint} create-bucket`") in failure(
            "publish", str(exe), *options)
        assert not [line for line in s3.requests()[earlier:] if "kelvo_bot.exe" in line]
        code, out, err = publisher(*options, "create-bucket")
        assert code == 0 and out.startswith("Created bucket kelvo-bot"), err
        s3.client.head_bucket(Bucket=BUCKET)
    finally:
        s3.client.create_bucket(Bucket=BUCKET)  # moto: the bucket that was already there is kept
    code, out, err = publisher(*options, "create-bucket")
    assert code == 0 and "already exists" in out, err


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
            [sys.executable, str(ROOT / "tools" / "publisher.py"), "serve", "--port", "0"],
            env=clean_environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            preexec_fn=lambda: (signal.signal(signal.SIGINT, signal.SIG_DFL), die_with_parent()))) as process:
        ready = process.stdout.readline()
        assert re.match(r"Serving bucket kelvo-bot on http://127\.0\.0\.1:[1-9]\d*; ", ready), ready
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=30)
    assert process.returncode == 130
    assert err.splitlines()[-1] == "interrupted" and "Traceback" not in err


@pytest.mark.parametrize("s3_server", ["seaweedfs"], indirect=True)
def test_publish_with_the_module_keys_is_refused_before_anything_is_uploaded(s3, native_build, exe):
    module_id, module_secret = seaweedfs.built_keys(native_build)
    code, _, err = publisher("--endpoint", s3.endpoint, "--proxy", s3.proxy, "--access-key-id",
                             module_id, "--secret-access-key", module_secret, "publish", str(exe))
    assert code == 1 and err.startswith("error: these keys may not write bucket kelvo-bot"), err
    assert "nothing was uploaded" in err and "Uploading" not in err
    assert s3.client.list_objects_v2(Bucket=BUCKET).get("Contents", []) == []
