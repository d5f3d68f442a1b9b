"""The publisher's tool against the real local server, and the updater after it."""

import hashlib
import subprocess
import sys

import pytest

from conftest import ROOT, clean_environment

EXE = b"MZ published bot\n" * 1000


def publisher(*argv):
    """The tool's command line in its own process: (exit status, stdout, stderr)."""
    done = subprocess.run([sys.executable, str(ROOT / "tools" / "publisher.py"), *argv],
                          env=clean_environment(), capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def tool(s3):
    def run(*argv):
        return publisher("--endpoint", s3.endpoint, "--proxy", s3.proxy,
                         "--access-key-id", "k", "--secret-access-key", "s", *argv)
    return run


def test_publish_then_verify_and_the_updater_finds_it_current(tool, s3, tmp_path, run_updater):
    exe = tmp_path / "kelvo_bot.exe"
    exe.write_bytes(EXE)
    code, out, _ = tool("publish", str(exe))
    digest = hashlib.sha256(EXE).hexdigest()
    assert code == 0 and f"sha256 {digest}" in out
    assert s3.client.get_object(Bucket="kelvo-bot", Key="exe_hash")["Body"].read() == digest.encode()
    assert tool("verify")[0] == 0

    run = run_updater(tmp_path)
    assert run.returncode == 0, run.stderr
    assert "Exactly identical to the file on the server! Updating is unnecessary and pointless." in run.lines


@pytest.mark.parametrize("published, problem", [
    (lambda d: d + b"\n", "ends with a line end"),
    (lambda d: b" " + d + b" ", "spaces or line ends around"),
    (lambda d: d.upper(), "upper case"),
    (lambda d: d[:40], "40 bytes long"),
    (lambda d: b"z" * 64, "not lower-case hexadecimal"),
    (lambda d: hashlib.sha256(b"other").hexdigest().encode(), "digest of another file"),
])
def test_verify_explains_each_wrong_digest(tool, s3, published, problem):
    s3.publish(EXE, digest=published(hashlib.sha256(EXE).hexdigest().encode()))
    code, out, _ = tool("verify")
    assert code == 1
    assert problem in out


def test_clear_errors(tool, s3, tmp_path):
    code, _, err = tool("publish", str(tmp_path / "missing.exe"))
    assert code == 1 and "is not a file" in err
    code, _, err = tool("verify")
    assert code == 1 and "cannot read the published objects" in err
    code, _, err = publisher("verify")
    assert code == 1 and "no endpoint" in err
