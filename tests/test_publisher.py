"""The publisher's tool against the real local server, and the updater after it."""

import hashlib
import http.server
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
from datetime import UTC, date, datetime, timedelta
from pathlib import Path

import nacl.signing
import pytest

# The tools' own libraries: a run of the module's tests alone (--module) has neither.
pefile = pytest.importorskip("pefile")
pytest.importorskip("backports.zstd")
import patches  # noqa: E402
import publisher as publisher_tool
import release_record
import release_statement
import signing_keys
from conftest import BUCKET, EXE_NAME, ROOT, bot_folder, build_dir, clean_environment, local_s3, run, seaweedfs
from harness import as_a_child, ended_after, limit
from messages import text

pytestmark = pytest.mark.tools

# A program the updater can start once it has installed it, on Linux: published as what it is.
EXE = b"#!/bin/sh\nexit 0\n" + b"# published bot\n" * 1000
SCRIPT = "--not-a-windows-program"
DIGEST = hashlib.sha256(EXE).hexdigest().encode()
OTHER_EXE = EXE.replace(b"exit 0", b"exit 2")  # of the same size
OTHER_KEY = nacl.signing.SigningKey(bytes(range(32)))
TEST_PUBLIC = local_s3.test_signing_key().verify_key.encode().hex()
OTHER_PUBLIC = OTHER_KEY.verify_key.encode().hex()
SPARE_PUBLIC = local_s3.test_spare_key().verify_key.encode().hex()


def named(public):
    """A public key as the tool names it: in full, with the first 8 digits of its SHA-256."""
    return f"{public} (fingerprint {hashlib.sha256(bytes.fromhex(public)).hexdigest()[:8]})"


def windows_program(machine=0x8664, flags=0x0022, size=4096, code=b"\xc3"):
    """A Windows program's headers (PE) and one section holding `code`, `size` bytes in all: the
    section's data lies at bytes 0x400 to 0x600."""
    program, pe = bytearray(size), 0x80
    program[:2], program[0x3C:0x40], program[pe:pe + 4] = b"MZ", pe.to_bytes(4, "little"), b"PE\0\0"
    # The file header: machine, one section, the optional header's size (240), the flags.
    struct.pack_into("<HHIIIHH", program, pe + 4, machine, 1, 0, 0, 0, 240, flags)
    struct.pack_into("<H", program, pe + 24, 0x20B)  # PE32+
    struct.pack_into("<8sIIII", program, pe + 24 + 240, b".text", 0x1000, 0x1000, 0x200, 0x400)
    program[0x400:0x400 + len(code)] = code
    return bytes(program[:size])


PROGRAM = windows_program()
PROGRAM_DIGEST = hashlib.sha256(PROGRAM).hexdigest().encode()


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
    code, out, err = publisher(*options, "publish", SCRIPT, str(exe))
    assert code == 0 and f"sha256 {DIGEST.decode()}" in out, err
    assert s3.client.get_object(Bucket=BUCKET, Key="exe_hash")["Body"].read() == DIGEST
    assert publisher("verify", SCRIPT, *options)[0] == 0  # options after the subcommand too

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
    code, out, err = publisher(*options, "publish", "--signing-key", str(keyfile), "--after-release", "0",
                               SCRIPT, str(exe))
    assert code == 0 and out.rstrip().endswith(", release 1, expires never"), err
    assert publisher("verify", SCRIPT, *options, "--public-key", public)[0] == 0
    assert publisher("verify", SCRIPT, *options, "--public-key", f"{keyfile}.pub")[0] == 0
    assert publisher("verify", SCRIPT, *options, "--signing-key", str(keyfile))[0] == 0
    test_key.write_text(local_s3.TEST_SIGNING_SEED.hex())  # as keygen wrote keys before
    code, out, _ = publisher("verify", SCRIPT, *options, "--signing-key", str(test_key))
    assert code == 1 and (f"NOT OK: exe_hash.sig (release 1) is signed, but by the key {named(public)}, not "
                          f"by {named(TEST_PUBLIC)}") in out, out

    # A build with the tests' key takes only what that key signed: the release signed again
    # with it, on purpose, as the next release.
    bots = tmp_path / "bots"
    (bots / "bin").mkdir(parents=True)
    assert run_updater(bots / "bin", build=build_dir("signed")).returncode == 1
    code, out, err = publisher(*options, "refresh", "--signing-key", str(test_key), "--new-signing-key",
                               SCRIPT)
    assert code == 0 and out.startswith("Signed release 1 again with the new key as release 2"), err
    # Going back to a release key after its spare took over is refused by the folders that took it.
    fingerprint = hashlib.sha256(bytes.fromhex(TEST_PUBLIC)).hexdigest()[:8]
    assert (f"Folders whose bundle has {fingerprint} as its release key install it only if "
            f"they never installed a release signed by their spare: a folder that did has retired its "
            f'release key and refuses this release ("retired")') in err, err
    run = run_updater(bots / "bin", build=build_dir("signed"), BOT_RECORD=str(tmp_path / "started"))
    assert run.returncode == 0 and (bots / EXE_NAME).read_bytes() == EXE, run.stderr


def test_a_key_kept_under_a_passphrase_signs_only_with_it(options, s3, exe, tmp_path):
    keyfile = tmp_path / "release.key"
    code, out, err = publisher("keygen", "--passphrase", str(keyfile), KELVO_KEY_PASSPHRASE="correct horse")
    assert code == 0 and keyfile.read_text().startswith(
        "kelvo-bot release signing key: secret, protected by a passphrase\n"), err
    public = nacl.signing.VerifyKey(bytes.fromhex(out.splitlines()[-1]))
    publish = [*options, "publish", "--signing-key", str(keyfile), "--after-release", "0", SCRIPT, str(exe)]
    assert failure(*publish, KELVO_KEY_PASSPHRASE="wrong") == (
        f"error: the passphrase does not open {keyfile}: type it again (or give the right one in "
        f"KELVO_KEY_PASSPHRASE)\n")
    code, _, err = publisher(*publish, KELVO_KEY_PASSPHRASE="correct horse")
    assert code == 0 and release_statement.parse(s3.get("exe_hash.sig")).signed_by(public), err


def test_a_signed_release_comes_with_patches_to_it_and_a_bot_one_behind_takes_its_own(
        options, s3, exe, tmp_path, run_updater):
    key, older, newer = tmp_path / "test.key", tmp_path / "older.exe", tmp_path / "newer.exe"
    key.write_text(local_s3.TEST_SIGNING_SEED.hex())
    older.write_bytes(EXE.replace(b"published bot\n", b"an older bot\n\n", 9))
    newer.write_bytes(EXE.replace(b"published bot\n", b"the newer bot\n", 9))
    publish = [*options, "publish", "--signing-key", str(key), SCRIPT]
    assert publisher(*publish, "--after-release", "0", str(exe))[0] == 0
    code, out, err = publisher(*publish, "--patch-from", str(older), str(newer))
    assert code == 0, err
    # From the store's release, and from the one named.
    bases = [hashlib.sha256(path.read_bytes()).hexdigest() for path in (exe, older)]
    assert sorted(patches.stored(s3.client)) == sorted(bases)
    assert all(f"Patch from sha256 {base}: " in out for base in bases), out
    verify = [*options, "verify", SCRIPT, "--public-key", TEST_PUBLIC, "--patch-from", str(older)]
    code, out, _ = publisher(*verify)
    assert code == 0 and "OK: 2 patches to this release" in out, out
    s3.put(patches.patch_object(bases[1]), patches.make(exe.read_bytes(), newer.read_bytes()))
    code, out, _ = publisher(*verify)
    assert code == 1 and f"NOT OK: the patch from {older} does not make the release from it" in out, out
    s3.put(patches.patch_object(bases[1]), patches.make(older.read_bytes(), newer.read_bytes()))

    bots, asked = bot_folder(tmp_path / "bots", EXE), s3.downloads()
    run = run_updater(bots / "bin", build=build_dir("signed"))
    assert run.returncode == 0, run.stderr
    assert (bots / EXE_NAME).read_bytes() == newer.read_bytes() and s3.downloads() == asked

    # The next release keeps no patch to this one.
    assert publisher(*publish, str(exe))[0] == 0
    assert patches.stored(s3.client) == [hashlib.sha256(newer.read_bytes()).hexdigest()]


def test_numbers_never_go_back_a_rollback_keeps_the_expiry_and_the_same_bytes_change_nothing(
        options, s3, tmp_path):
    old_key, new_key, first, second = (tmp_path / name for name in ("old.key", "new.key", "1.exe", "2.exe"))
    old_key.write_text(OTHER_KEY.encode().hex())
    new_key.write_text(local_s3.TEST_SIGNING_SEED.hex())
    first.write_bytes(PROGRAM)
    second.write_bytes(windows_program(code=b"\x90\xc3"))
    in_a_week, in_a_month = (release_statement.utc_today() + timedelta(days=n) for n in (7, 30))

    def publisher_says(*argv):
        code, out, err = publisher(*options, *argv)
        assert code == 0, err
        return out.splitlines()[-1]

    def publish(path, key, *more):
        return publisher_says("publish", *(["--signing-key", str(key)] if key else ["--unsigned"]), *more,
                              str(path))

    assert publish(first, old_key, "--after-release", "0").endswith(", release 1, expires never")
    assert publish(second, old_key, "--expires-in", "7").endswith(f", release 2, expires {in_a_week}")
    assert publish(first, old_key).endswith(f", release 3, expires {in_a_week}")  # a rollback
    # An unsigned release in between, then a new key on purpose: the numbers go on.
    assert publish(second, None).endswith(", unsigned: bundles built with a release public key refuse it; "
                                          "only those built without one install it")
    assert publish(first, new_key, "--new-signing-key").endswith(", release 4, expires never")
    assert publisher_says("refresh", "--signing-key", str(new_key), "--expires-in", "30") == (
        f"Refreshed release 4: expires {in_a_month} (was never)")
    record(s3, 9, TEST_PUBLIC)  # a number used by a publish that failed after recording it
    assert publisher_says("refresh", "--signing-key", str(new_key)) == (
        f"Refreshed release 4: expires {in_a_month} (was {in_a_month})")
    assert release_record.parse_record(s3.get("publisher.record")).release == 9  # refresh never lowers it

    stored = {key: s3.get(key) for key in (EXE_NAME, "exe_hash", "exe_hash.sig", "publisher.record")}
    assert publish(first, new_key).startswith(f"{first} is already release 4: nothing was changed")
    assert {key: s3.get(key) for key in stored} == stored

    # An emptied bucket goes on from the number the publisher states.
    s3.empty()
    assert publish(second, new_key, "--after-release", "10").endswith(", release 11, expires never")
    statement = release_statement.parse(s3.get("exe_hash.sig"))
    assert statement.release == 11 and statement.signed_by(local_s3.test_signing_key().verify_key)
    # The highest number used may be stated again; the highest number every bot takes is the last.
    assert publish(first, new_key, "--after-release", "11").endswith(", release 12, expires never")
    assert publish(second, new_key, "--after-release", str(LEAP - 1)).endswith(f", release {LEAP}, expires never")


@pytest.mark.parametrize("published, problem", [
    (PROGRAM_DIGEST + b"\n", "ends with a line end"),
    (b" " + PROGRAM_DIGEST + b" ", "spaces or line ends around"),
    (PROGRAM_DIGEST.upper(), "upper case"),
    (PROGRAM_DIGEST[:40], "40 bytes long"),
    (b"z" * 64, "not lower-case hexadecimal"),
    (hashlib.sha256(b"other").hexdigest().encode(), "digest of another file"),
    (PROGRAM_DIGEST + b"  kelvo_bot.exe\n", "a line of sha256sum's output (digest, spaces, file name)"),
    (PROGRAM_DIGEST.upper() + b" *bot.exe", "a line of sha256sum's output (digest, spaces, file name)"),
    (hashlib.sha256(b"other").hexdigest().encode() + b"  kelvo_bot.exe", "file name, and of another file"),
    (None, f"NOT OK: kelvo_bot.exe is a script ({len(EXE)} bytes, first line '#!/bin/sh'), not a program: "
           f"the bots cannot start it"),
])
def test_verify_explains_each_wrong_digest_and_what_is_no_program(options, s3, published, problem):
    if published is None:  # the script, with its own digest
        s3.publish(EXE, signing_key=None)
    else:
        s3.publish(PROGRAM, digest=published, signing_key=None)
    code, out, _ = publisher("verify", *options)
    assert code == 1
    assert problem in out


def record(s3, release, public_key):
    """The publisher's record of the store, as publisher.py writes it."""
    s3.put("publisher.record", bytes(release_record.Record(release, public_key)))


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
    pytest.param(lambda s3: (s3.publish(EXE, signing_key=OTHER_KEY), record(s3, 1, OTHER_PUBLIC)),
                 f"NOT OK: exe_hash.sig (release 1) is signed, but by the key {named(OTHER_PUBLIC)}, not by "
                 f"{named(TEST_PUBLIC)}: a module built with this key refuses the update. Sign it with the key "
                 f"file of {named(TEST_PUBLIC)}: `python publisher/publisher.py refresh --signing-key KEYFILE "
                 f"--new-signing-key`.", id="another key"),
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
    code, out, _ = publisher("verify", SCRIPT, *options, "--public-key", TEST_PUBLIC)
    assert out.startswith(says) and code == (0 if says.startswith("OK") else 1), out


@pytest.mark.parametrize("signer, says", [
    (local_s3.test_signing_key(), f"OK: exe_hash.sig is release 1 of this executable, signed by its release key "
                                  f"{named(TEST_PUBLIC)}, expires never"),
    (local_s3.test_spare_key(), f"OK: exe_hash.sig is release 1 of this executable, signed by its spare key "
                                f"{named(SPARE_PUBLIC)}, expires never"),
    (OTHER_KEY, f"NOT OK: exe_hash.sig (release 1) is signed, but by another key, not by {named(TEST_PUBLIC)} or "
                f"{named(SPARE_PUBLIC)}: the bots of {{bundle}} refuse the update."),
], ids=["release key", "spare key", "another key"])
def test_verify_checks_the_store_against_the_keys_a_bundle_trusts(options, s3, signer, says):
    s3.publish(EXE, signing_key=signer)
    bundle = build_dir("signed")
    code, out, err = publisher("verify", SCRIPT, *options, "--bundle", str(bundle))
    assert out.startswith(says.format(bundle=bundle)) and code == (0 if says.startswith("OK") else 1), out + err


def test_status_shows_the_release_without_downloading_the_executable(options, s3, programs):
    program = programs["bot 2"] + os.urandom(300_000)  # more than its headers, read alone
    s3.publish(program, release=7)
    record(s3, 7, TEST_PUBLIC)
    earlier = len(s3.requests())
    code, out, err = publisher("status", *options)
    pe = int.from_bytes(program[0x3C:0x40], "little")
    built = datetime.fromtimestamp(int.from_bytes(program[pe + 8:pe + 12], "little"), UTC)
    assert code == 0 and out.splitlines() == [
        f"Bucket kelvo-bot at {s3.endpoint}:",
        "  release:    7, expires never",
        f"  signed by:  {named(TEST_PUBLIC)}",
        f"  program:    {len(program)} bytes, product 'Kelvo bot', version '2.0', original file name "
        f"'kelvo_bot.exe', built {built:%Y-%m-%d %H:%M:%S} UTC",
        f"  digest:     {hashlib.sha256(program).hexdigest()}",
        f"  record:     release 7 used last, key {named(TEST_PUBLIC)}",
    ], out + err
    # Ranged reads of its headers and resources: each answered with part of it (206), none whole.
    reads = [line for line in s3.requests()[earlier:] if "GET " in line and f"/{EXE_NAME} " in line]
    assert reads and all('" 206 ' in line for line in reads), s3.requests()[earlier:]


def test_each_failure_is_one_line(options, s3, exe, tmp_path):
    assert "is not a file" in failure(*options, "publish", str(tmp_path / "missing.exe"))
    assert "no endpoint" in failure("verify")
    assert "'storage.example.com' (--endpoint) is not an endpoint URL" in failure(
        *options, "verify", "--endpoint", "storage.example.com")
    assert "'http://x:port' (KELVO_ENDPOINT_URL) is not" in failure(
        "verify", KELVO_ENDPOINT_URL="http://x:port")
    assert "reading exe_hash failed: nothing is published as exe_hash" in failure("verify", *options)
    assert failure("verify", *options, "--public-key", "zz") == (
        "error: --public-key 'zz' is neither 64 hexadecimal digits nor a file: give the public key keygen "
        "printed last, or the .pub file it wrote\n")
    s3.put("exe_hash", DIGEST)
    assert "nothing is published as kelvo_bot.exe" in failure("verify", *options)
    assert "checking bucket kelvo-bot failed: no credentials" in failure(
        "publish", SCRIPT, str(exe), *options[:4])
    assert "the storage is unreachable" in failure(
        "publish", SCRIPT, str(exe), *options, "--proxy", "http://127.0.0.1:9", AWS_MAX_ATTEMPTS="1")
    # A Python that can import neither progressbar nor PyNaCl: modules of those names that fail,
    # first on the path. The tool names both at once, before it makes any storage call.
    earlier = len(s3.requests())
    assert failure(*options, "publish", "--signing-key", "KEY", str(exe),
                   PYTHONPATH=failing_modules(tmp_path, "progressbar", "nacl")) == (
        f"error: publish needs packages this Python lacks: progressbar, pynacl. Install them with "
        f"`{sys.executable} -m pip install progressbar pynacl`\n")
    assert s3.requests()[earlier:] == []

    # The tool may use an endpoint the module would refuse (here the server itself, at its
    # port), but says so.
    code, out, err = publisher("publish", SCRIPT, str(exe), "--endpoint", f"http://127.0.0.1:{s3.port}",
                               *options[2:])
    assert code == 0, err
    assert err.startswith(f"warning: a module build refuses the endpoint http://127.0.0.1:{s3.port} ")


@pytest.mark.parametrize("command", [["publish", SCRIPT, "EXE"], ["create-bucket"]], ids=["publish", "create-bucket"])
def test_a_plain_web_server_at_the_endpoint_is_named_so(exe, command):
    class NotFound(http.server.BaseHTTPRequestHandler):
        def answer(self):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()

        do_HEAD = do_GET = do_PUT = answer

        def log_message(self, *_):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), NotFound)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        endpoint = f"http://127.0.0.1:{server.server_port}"
        code, _, err = publisher("--endpoint", endpoint, "--access-key-id", "k", "--secret-access-key", "s",
                                 *[str(exe) if word == "EXE" else word for word in command], AWS_MAX_ATTEMPTS="1")
    finally:
        server.shutdown()
        server.server_close()
    assert code == 1 and err.splitlines()[-1].endswith(
        f"failed: {endpoint} answered 404 without the headers S3 storage sends (x-amz-...): it is a web server, "
        f"not S3 storage. Check --endpoint (or KELVO_ENDPOINT_URL) and --proxy"), err


def test_serve_with_seaweedfs_but_no_weed_is_one_line(tmp_path):
    # The interpreter outside the tests' environment, with its packages but not its `weed`.
    packages = next(path for path in sys.path if path.endswith("site-packages"))
    done = run([sys._base_executable, ROOT / "publisher" / "publisher.py", "serve", "--engine", "seaweedfs"],
               env=clean_environment(PATH="/usr/bin:/bin", PYTHONPATH=packages))
    assert done.returncode == 1 and done.stderr.startswith(
        "error: serve --engine seaweedfs needs SeaweedFS's `weed` program, which is neither beside this Python "
        "nor on the PATH") and done.stderr.count("\n") == 1, done.stderr


def failing_modules(folder, *names):
    """A folder that, first on the path, makes these modules fail to import."""
    for name in names:
        (folder / f"{name}.py").write_text(f"raise ImportError('no {name} here')")
    return str(folder)


TOOL = [sys.executable, ROOT / "publisher" / "publisher.py"]
VENV = "~/.venvs/kelvo-publisher"


@pytest.mark.parametrize("command, says", [
    # A name looked up where there is no network: the resolver's own failure, nothing sent.
    pytest.param(lambda s3, tmp_path: (
        ["unshare", "-rn", *TOOL, "verify", "--endpoint", "http://storage.exmaple.com"], {}),
        "error: reading exe_hash failed: the storage's host name storage.exmaple.com does not resolve "
        "(no such name, or no name server answers): check its spelling in --endpoint (or "
        "KELVO_ENDPOINT_URL)", id="no such host"),
    pytest.param(lambda s3, tmp_path: ([*TOOL, "verify", "--endpoint", f"https://127.0.0.1:{s3.port}"], {}),
                 "error: reading exe_hash failed: https://127.0.0.1:{port} answers in plain HTTP, not "
                 "HTTPS: use http://127.0.0.1:{port}, or the port that serves HTTPS", id="https to http"),
    # The interpreter outside the tests' virtual environment, as Debian's /usr/bin/python3 is.
    pytest.param(lambda s3, tmp_path: (
        [sys._base_executable, TOOL[1], "publish", SCRIPT, "x.exe"],
        {"PYTHONPATH": failing_modules(tmp_path, "boto3", "progressbar", "nacl")}),
        f"error: publish needs packages this Python lacks: boto3, progressbar. Install them in a "
        f"virtual environment (on Debian or Ubuntu after `apt install python3-venv`): `python3 -m "
        f"venv {VENV} && {VENV}/bin/pip install boto3 progressbar pynacl pefile`, then run the tool with "
        f"`{VENV}/bin/python`", id="no virtual environment"),
])
def test_each_error_names_its_cause_and_fix_in_one_line(s3, tmp_path, command, says):
    argv, env = command(s3, tmp_path)
    if argv[0] == "unshare" and subprocess.run(["unshare", "-rn", "true"]).returncode != 0:
        pytest.skip("no network namespace here, where a name lookup fails without the network")
    done = run([*argv, "--access-key-id", "k", "--secret-access-key", "s"],
               env=clean_environment(AWS_MAX_ATTEMPTS="1", **env))
    lines = done.stderr.splitlines()
    assert done.returncode == 1 and lines[-1] == says.format(port=s3.port), done.stderr
    assert all(line.startswith("warning: ") for line in lines[:-1]), done.stderr


# The highest release number every bot takes: a bot folder that records none refuses more.
LEAP = 1_000_000
NEW_PROGRAM = windows_program(code=b"\x90\xc3")


@pytest.mark.parametrize("store, command, refusal", [
    pytest.param(lambda s3: s3.publish(OTHER_EXE), ["publish", SCRIPT, "EXE"],
                 "the store holds exe_hash.sig, a signed release: a module built with a release key "
                 "refuses a release without one. Publish with --signing-key KEYFILE", id="publish unsigned"),
    pytest.param(lambda s3: s3.publish(OTHER_EXE), ["publish", "--expires-in", "3", SCRIPT, "EXE"],
                 "--expires-in is for a signed release: add --signing-key", id="expiry unsigned"),
    pytest.param(lambda s3: s3.publish(EXE, signing_key=None), ["refresh", "--signing-key", "KEY"],
                 "there is no exe_hash.sig to refresh: publish the release with `publish --signing-key",
                 id="refresh nothing signed"),
    pytest.param(lambda s3: (s3.publish(EXE), s3.put("exe_hash.sig", b"kelvo-bot release statement 2\n")),
                 ["refresh", "--signing-key", "KEY"], "exe_hash.sig is not a release statement (its "
                 "first line is 'kelvo-bot release statement 2'", id="refresh another format"),
    pytest.param(lambda s3: s3.publish(EXE, signing_key=OTHER_KEY), ["refresh", "--signing-key", "KEY"],
                 "release 1 is signed by a key whose public key this store does not record, not by ",
                 id="refresh another key's"),
    pytest.param(lambda s3: (s3.publish(EXE), s3.put("exe_hash", hashlib.sha256(OTHER_EXE).hexdigest())),
                 ["refresh", "--signing-key", "KEY"],
                 "the store no longer holds release 1 (exe_hash is not its digest)", id="refresh new digest"),
    pytest.param(lambda s3: s3.publish(EXE, size=len(EXE) - 1), ["refresh", "--signing-key", "KEY"],
                 f"the store no longer holds release 1 (kelvo_bot.exe holds {len(EXE)} bytes, not its "
                 f"{len(EXE) - 1})", id="refresh new size"),
    # Only what runs: a file is named for what it is.
    *(pytest.param(lambda s3: s3.publish(PROGRAM), ["publish", "--signing-key", "KEY", content],
                   f"is {what}: the bots cannot start it, and a bot that installed it would be left "
                   f"without one. Publish the bot's own kelvo_bot.exe, a 64-bit Windows program; nothing "
                   f"was uploaded", id=name)
      for name, content, what in [
          ("text", b"hello\n", "text (6 bytes, first line 'hello'), not a program"),
          ("empty", b"", "empty (0 bytes)"),
          ("ELF", b"\x7fELF\x02\x01\x01" + bytes(4089), "an ELF program for Linux or another Unix (4096 "
                                                       "bytes), not a Windows program"),
          ("zip", b"PK\x03\x04" + bytes(100), "a zip archive (104 bytes), not a program"),
          ("32-bit", windows_program(machine=0x14C), "a 32-bit Windows program (x86) (4096 bytes), not a "
                                                      "64-bit one (x64)"),
          ("DLL", windows_program(flags=0x2022), "a 64-bit Windows library (DLL, 4096 bytes), not a program"),
          ("truncated", PROGRAM[:1024], "a truncated 64-bit Windows program (1024 bytes, where its sections "
                                        "end at byte 1536)"),
      ]),
    pytest.param(lambda s3: s3.publish(EXE), ["refresh", "--signing-key", "KEY"],
                 f"the store's kelvo_bot.exe (release 1) is a script ({len(EXE)} bytes, first line "
                 f"'#!/bin/sh'), not a program: the bots cannot start it", id="refresh a script"),
    # Only the key the bots trust.
    pytest.param(lambda s3: (s3.publish(PROGRAM), record(s3, 1, TEST_PUBLIC)),
                 ["publish", "--signing-key", "OTHER KEY", NEW_PROGRAM],
                 (f"release 1 is signed by the key {named(TEST_PUBLIC)}, not by ", f"(public key {named(OTHER_PUBLIC)}): "
                  f"bundles built with that key would refuse this release. Sign with the key file of "
                  f"{named(TEST_PUBLIC)}; to change the key on purpose (a lost or leaked key, or the bundles' "
                  f"spare), add --new-signing-key; nothing was changed"), id="another key"),
    pytest.param(lambda s3: (s3.publish(PROGRAM, signing_key=None), record(s3, 1, TEST_PUBLIC)),
                 ["publish", "--signing-key", "OTHER KEY", NEW_PROGRAM],
                 f"release 1 is signed by the key {named(TEST_PUBLIC)}, not by ", id="another key after unsigned"),
    pytest.param(lambda s3: s3.publish(PROGRAM), ["publish", "--signing-key", "PUBLIC FILE", NEW_PROGRAM],
                 f"holds the release public key {named(TEST_PUBLIC)}, which bundles are built with, not a "
                 f"signing key: pass the secret key file keygen wrote beside it", id="public key file"),
    pytest.param(lambda s3: s3.publish(PROGRAM), ["publish", "--signing-key", "PUBLIC DIGITS", NEW_PROGRAM],
                 f"holds the public key {named(TEST_PUBLIC)}, which the bots check releases with, not a signing "
                 f"key: pass the secret key file keygen wrote", id="public key digits"),
    pytest.param(lambda s3: record(s3, 1, TEST_PUBLIC), ["publish", "--signing-key", "PUBLIC DIGITS", NEW_PROGRAM],
                 f"holds the public key {named(TEST_PUBLIC)}, which the bots check releases with",
                 id="public key digits over a record alone"),
    # A key file is named for what it is, with the fix.
    *(pytest.param(lambda s3: s3.publish(PROGRAM), ["publish", "--signing-key", content, NEW_PROGRAM],
                   (what, "pass the key file keygen wrote (its first line says 'kelvo-bot release signing key: "
                          "secret, keep it offline' or "), id=name)
      for name, content, what in [
          ("binary key file", b"\x90PK\x03\x04", "is not a key file (it is not text): "),
          ("text key file", b"hello\n", "is not a key file (its first line is 'hello'): "),
          ("damaged key file", b"kelvo-bot release signing key: secret, keep it offline\nxyz\n",
           "says it holds a secret key, but its key line is damaged (not 64 hexadecimal digits): "),
      ]),
    # A number that never goes back, and cannot go on past the last.
    pytest.param(lambda s3: s3.publish(PROGRAM, release=5),
                 ["publish", "--signing-key", "KEY", "--after-release", "3", NEW_PROGRAM],
                 "--after-release 3 would go back: this store has used release numbers up to 5, and a "
                 "bot that installed one of them refuses a lower number. Leave it out (release 6) or "
                 "give 5 or more", id="going back"),
    pytest.param(lambda s3: s3.publish(PROGRAM),
                 ["publish", "--signing-key", "KEY", "--after-release", "5000000", NEW_PROGRAM],
                 f"--after-release 5000000: the bots refuse a release numbered above {LEAP} (a new "
                 f"installation takes none higher), so the highest release this tool may sign is {LEAP}",
                 id="a number the bots refuse"),
    pytest.param(lambda s3: None, ["publish", "--signing-key", "KEY", NEW_PROGRAM],
                 "this store holds no release statement and no record of release numbers (a new or emptied "
                 "bucket), so it cannot tell which releases the bots have: give --after-release N, N being "
                 "the highest release the bots may have (0 for a first release ever)", id="a new bucket unnumbered"),
    pytest.param(lambda s3: s3.publish(PROGRAM, release=LEAP), ["publish", "--signing-key", "KEY", NEW_PROGRAM],
                 f"release {LEAP} is the highest number the bots take (a new installation refuses any "
                 f"release numbered above {LEAP}), so no release can follow it", id="the last number"),
    pytest.param(lambda s3: (s3.publish(PROGRAM), record(s3, LEAP, TEST_PUBLIC)),
                 ["refresh", "--signing-key", "OTHER KEY", "--new-signing-key"],
                 f"release {LEAP} is the highest number the bots take", id="the last number by refresh"),
    pytest.param(lambda s3: s3.publish(PROGRAM, expires=YESTERDAY), ["publish", "--signing-key", "KEY",
                                                                     NEW_PROGRAM],
                 f"release 1 expired at the end of {YESTERDAY} (UTC), and its expiry would be kept: give "
                 f"--expires-in DAYS (or --expires-in never)", id="an expiry kept that has passed"),
    pytest.param(lambda s3: s3.publish(PROGRAM), ["publish", "--signing-key", "KEY", "--expires-in", "0",
                                                  NEW_PROGRAM],
                 "--expires-in 0: give a number of days from 1 to 36500, or never", id="expires in 0"),
])
def test_each_guard_refuses_in_one_line_before_any_write(options, s3, tmp_path, store, command, refusal):
    store(s3)
    earlier = len(s3.requests())
    files = {"EXE": EXE, "KEY": local_s3.TEST_SIGNING_SEED.hex(), "OTHER KEY": OTHER_KEY.encode().hex(),
             "PUBLIC FILE": f"{signing_keys.PUBLIC_KEY_FILE}\n{TEST_PUBLIC}\n", "PUBLIC DIGITS": TEST_PUBLIC}
    argv = []
    for number, word in enumerate(command):
        if isinstance(word, bytes) or word in files:
            path = tmp_path / f"{number}"
            content = files.get(word, word)
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
            word = path
        argv.append(str(word))
    line = failure(*options, *argv)
    assert all(part in line for part in ([refusal] if isinstance(refusal, str) else refusal)), line
    assert writes(s3.requests()[earlier:]) == []


# Real Windows programs, as mingw-w64 builds them, each with a version resource: (product name,
# file version, original file name).
PROGRAMS = {"bot 1": ("Kelvo bot", "1.0", EXE_NAME), "bot 2": ("Kelvo bot", "2.0", EXE_NAME),
            "python": ("Python", "3.13.0", "python.exe")}
VERSION_RESOURCE = """1 VERSIONINFO
FILEVERSION 1,0,0,0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
      VALUE "ProductName", "{}"
      VALUE "FileVersion", "{}"
      VALUE "OriginalFilename", "{}"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
"""


@pytest.fixture(scope="module")
def programs(tmp_path_factory):
    """name: the bytes of each of PROGRAMS; "python" is the bundle's own python.exe where a
    Windows bundle is at hand."""
    if not shutil.which("x86_64-w64-mingw32-gcc"):
        pytest.skip("mingw-w64 is not installed (apt-get install gcc-mingw-w64-x86-64)")
    folder, built = tmp_path_factory.mktemp("programs"), {}
    (folder / "main.c").write_text("int main(void) { return 0; }\n")
    for name, strings in PROGRAMS.items():
        stem = folder / name.replace(" ", "_")
        stem.with_suffix(".rc").write_text(VERSION_RESOURCE.format(*strings))
        subprocess.run(["x86_64-w64-mingw32-windres", "-O", "coff", "-o", stem.with_suffix(".res"),
                        stem.with_suffix(".rc")], check=True, timeout=120)
        subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-s", "-o", stem.with_suffix(".exe"), folder / "main.c",
                        stem.with_suffix(".res")], check=True, timeout=120)
        built[name] = stem.with_suffix(".exe").read_bytes()
    bundled = Path(os.environ.get("UPDATER_WINDOWS_BUNDLE", "/nonexistent")) / "python" / "python.exe"
    if bundled.is_file():
        built["python"] = bundled.read_bytes()
    return built


def shown(path, program, strings):
    """The line publish shows first: what the program says it is, its size and its digest."""
    pe = int.from_bytes(program[0x3C:0x40], "little")
    built = datetime.fromtimestamp(int.from_bytes(program[pe + 8:pe + 12], "little"), UTC)
    product, version, name = strings
    return (f"{path}: product {product!r}, version {version!r}, original file name {name!r}, built "
            f"{built:%Y-%m-%d %H:%M:%S} UTC; {len(program)} bytes, sha256 {hashlib.sha256(program).hexdigest()}")


@pytest.mark.parametrize("new, more, published", [
    ("bot 2", [], True),
    ("python", [], False),
    ("python", ["--dry-run"], False),
    ("python", ["--new-program"], True),
], ids=["a new version", "another program", "another program in a dry run", "another program on purpose"])
def test_publish_shows_the_program_and_refuses_another_unless_told(
        options, s3, tmp_path, programs, new, more, published):
    s3.publish(programs["bot 1"], signing_key=None)
    path = tmp_path / EXE_NAME
    path.write_bytes(programs[new])
    earlier = len(s3.requests())
    code, out, err = publisher(*options, "publish", *more, str(path))
    if new == "bot 2":  # its sections end exactly at its end: a whole program, not a truncated one
        sections = pefile.PE(data=programs[new]).sections
        assert max(section.PointerToRawData + section.SizeOfRawData for section in sections) == len(path.read_bytes())
    if published:
        # The bundle's own python.exe, where it stands in, has a version of its own.
        line = shown(path, programs[new], PROGRAMS[new])
        expected = line if new == "bot 2" else line[:line.index(", version")]
        assert code == 0 and out.splitlines()[0].startswith(expected), out + err
        assert s3.get(EXE_NAME) == programs[new]
    else:
        assert code == 1 and err.count("\n") == 1 and err.startswith(
            f"error: {path} is another program than the published release: it says product 'Python', "), err
        assert "add --new-program if the bot's product name or file name changes on purpose" in err
        assert writes(s3.requests()[earlier:]) == []


def test_a_dry_run_makes_every_check_says_what_it_would_upload_and_uploads_nothing(options, s3, tmp_path, programs):
    s3.publish(programs["bot 1"])
    key, path = tmp_path / "release.key", tmp_path / EXE_NAME
    key.write_text(local_s3.TEST_SIGNING_SEED.hex())
    path.write_bytes(programs["bot 2"])
    earlier = len(s3.requests())
    code, out, err = publisher(*options, "publish", "--dry-run", "--signing-key", str(key), str(path))
    fingerprint = hashlib.sha256(bytes.fromhex(TEST_PUBLIC)).hexdigest()[:8]
    assert code == 0 and out.splitlines()[-1] == (
        f"Dry run: every check passed; publish would upload kelvo_bot.exe ({len(programs['bot 2'])} bytes), "
        f"then exe_hash.sig as release 2, expires never, signed by the key {TEST_PUBLIC} (fingerprint "
        f"{fingerprint}), then exe_hash. Whether these keys may write the bucket is not tried. Nothing was "
        f"uploaded"), out + err
    assert writes(s3.requests()[earlier:]) == []


def writes(requests):
    """(method, key) of each write in moto's request log; the write test's object as .publish-probe."""
    found = [re.search(r"(PUT|DELETE) \S*/kelvo-bot/(\S*?)(-[0-9a-f]{16})? ", line) for line in requests]
    return [write.groups()[:2] for write in found if write]


@pytest.mark.parametrize("signed, statement, stored", [
    (True, ("PUT", "exe_hash.sig"), {EXE_NAME, "exe_hash.sig", "exe_hash", "publisher.record"}),
    (False, ("DELETE", "exe_hash.sig"), {EXE_NAME, "exe_hash"}),
], ids=["--signing-key", "--unsigned"])
def test_publish_writes_the_executable_then_the_statement_then_the_digest(
        options, s3, exe, tmp_path, signed, statement, stored):
    s3.publish(OTHER_EXE)
    key = tmp_path / "release.key"
    key.write_text(local_s3.TEST_SIGNING_SEED.hex())
    earlier = len(s3.requests())
    code, _, err = publisher(*options, "publish", *(["--signing-key", str(key)] if signed else ["--unsigned"]),
                             SCRIPT, str(exe))
    assert code == 0, err
    # Signed, the patch from the store's executable goes up before the statement that bots find
    # it by, and the number is recorded before any statement bears it.
    patch = [patches.patch_object(hashlib.sha256(OTHER_EXE).hexdigest())] * signed
    record = [("PUT", "publisher.record")] * signed
    assert writes(s3.requests()[earlier:]) == [("PUT", ".publish-probe"), ("DELETE", ".publish-probe"),
                                               ("PUT", EXE_NAME), *[("PUT", name) for name in patch],
                                               *record, statement, ("PUT", "exe_hash")]
    assert {item["Key"] for item in s3.client.list_objects_v2(Bucket=BUCKET)["Contents"]} == stored | set(patch)


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
            "publish", SCRIPT, str(exe), *options)
        assert not [line for line in s3.requests()[earlier:] if EXE_NAME in line]
        code, out, err = publisher(*options, "create-bucket")
        assert code == 0 and out.startswith("Created bucket kelvo-bot"), err
        s3.client.head_bucket(Bucket=BUCKET)
    finally:
        s3.client.create_bucket(Bucket=BUCKET)  # moto: the bucket that was already there is kept
    code, out, err = publisher(*options, "create-bucket")
    assert code == 0 and "already exists" in out, err


SIGNED_ONLY = f"{named(TEST_PUBLIC)} (only releases signed with its private key install)"


def spare_trusted(public):
    return f"{named(public)} (a release signed with its private key installs too, and from then on only the spare's)"


@pytest.mark.parametrize("build, trusted, spare", [
    ("native", "none: this build installs releases without a signature", "none"),
    ("signed", SIGNED_ONLY, spare_trusted(local_s3.test_spare_key().verify_key.encode().hex())),
    (f"release-public-key={TEST_PUBLIC}\0spare-public-key={OTHER_PUBLIC}\0".encode(), SIGNED_ONLY,
     spare_trusted(OTHER_PUBLIC)),
    # Builds made before spare keys record none: the line says so.
    (f"release-public-key={TEST_PUBLIC}\0".encode(), SIGNED_ONLY,
     "not recorded (a build made before modules took a spare key)"),
])
def test_inspect_shows_the_keys_a_build_trusts(tmp_path, build, trusted, spare):
    if isinstance(build, bytes):
        (tmp_path / "updater_core.cp313-win_amd64.pyd").write_bytes(b"\0code\0" + build)
        folder = tmp_path
    else:
        folder = build_dir(build)
    code, out, err = publisher("inspect", str(folder))
    assert code == 0 and f"\n  release key: {trusted}\n  spare key:   {spare}\n" in out, out + err


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
            preexec_fn=as_a_child)) as process:
        ready = process.stdout.readline()
        assert re.match(r"Serving bucket kelvo-bot on http://127\.0\.0\.1:[1-9]\d*; ", ready), ready
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=limit(30))
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
                             module_id, "--secret-access-key", module_secret, "publish", SCRIPT, str(exe))
    assert code == 1 and err.startswith("error: these keys may not write bucket kelvo-bot"), err
    assert "nothing was uploaded" in err and "Uploading" not in err
    assert s3.client.list_objects_v2(Bucket=BUCKET).get("Contents", []) == []
