"""Reading the published digest, hashing the local file, and deciding on an update."""

import hashlib
import io
import mmap
import os
import types

import pytest

from fakes import BOT, CURRENT, FakeClient, call_in, digest, entries, fake_world, import_module
from messages import EN, RU, WINDOWS_LOCALE, identical_lines, text
from project import BUCKET
from statement_lines import at


def wired(build, world):
    """The module, imported against another world, with world's storage client and language."""
    module = import_module(build, fake_world("missing")).module
    # The functions reach the fakes of the world they were imported with; a second world is
    # wired in by hand: the storage client and nothing else differs between the two.
    module.s3unsafe = FakeClient(world)
    module.RU = world.locale[0] == WINDOWS_LOCALE[RU][0]
    world.calls.clear()
    return module


def checked(build, world):
    """(outcome of a fresh check_update_is_needed against world, its result)."""
    return call_in(world, wired(build, world).check_update_is_needed)


class TestBotDirectory:
    @pytest.mark.parametrize("cwd, exe_path, language", [
        ("D:\\bots\\bin", BOT, EN),
        ("D:\\bots", BOT, RU),
        ("D:\\bin\\bin", "D:\\bin\\kelvo_bot.exe", EN),
        ("D:\\Admin\\bin", "D:\\Admin\\kelvo_bot.exe", EN),
        ("C:\\bin", "C:\\kelvo_bot.exe", EN),
        ("D:\\robin", "D:\\robin\\kelvo_bot.exe", EN),
        ("D:\\bots\\BIN", "D:\\bots\\BIN\\kelvo_bot.exe", EN),
        ("D:\\", "D:\\\\kelvo_bot.exe", EN),
        ("/drive/bots/bin", "/drive/bots/kelvo_bot.exe", EN),  # the native build's "/" and "bin"
    ])
    def test_missing_executable_is_looked_for_in_the_bot_directory(self, native_build, windows_build, cwd,
                                                                   exe_path, language):
        posix = cwd.startswith("/")
        world = fake_world("missing", posix=posix, cwd=cwd, locale=WINDOWS_LOCALE[language])
        outcome, result = checked(native_build if posix else windows_build, world)
        assert result is True
        assert outcome.world.calls == [
            ("print", text("check", language)),
            ("os.getcwd",),
            ("os.path.isfile", exe_path),
            ("print", text("missing", language, exe=exe_path)),
            ("print", text("start", language)),
        ]


class TestOutcomes:
    @pytest.mark.parametrize("published, language, needed", [
        (digest(CURRENT), EN, False), (digest(CURRENT), RU, False),
        (digest(CURRENT) + b"\n", EN, True), (digest(CURRENT).upper(), EN, True), (b" " + digest(CURRENT), EN, True),
        (b"", EN, True), (b"", RU, True), (digest(b"another bot"), EN, True),
    ], ids=["identical", "identical, Russian", "line end", "upper case", "space", "empty", "empty, Russian",
            "another file"])
    def test_only_the_exact_digest_is_identical(self, windows_build, published, language, needed):
        world = fake_world(objects={"exe_hash": published}, locale=WINDOWS_LOCALE[language])
        outcome, result = checked(windows_build, world)
        assert result is needed
        assert outcome.stdout.splitlines() == (
            [text("check", language), text("differs", language)] if needed else identical_lines(BOT, language))
        # The file is hashed before the bucket is contacted, and the request is exact.
        assert outcome.world.names("open", "file.close", "s3.get_object") == [
            ("open", BOT, "rb"), ("file.close", BOT), ("s3.get_object", (("Bucket", BUCKET), ("Key", "exe_hash")))]


@pytest.fixture(scope="module")
def native_module(native_build):
    return import_module(native_build, fake_world("missing", posix=True)).module


class TestFileDigest:
    @pytest.mark.parametrize("size", [0, 1, 63, 64, 65, 128, 3 * 1024 * 1024 + 7])
    def test_equals_hashlib_on_real_files(self, native_module, tmp_path, size):
        path = tmp_path / "file"
        content = os.urandom(size)
        path.write_bytes(content)
        assert native_module.get_hash_digest(str(path)) == hashlib.sha256(content).hexdigest()
        assert native_module.get_hash_digest(file_path=str(path)) == hashlib.sha256(content).hexdigest()

    def test_unreadable_paths_raise_the_error_of_open(self, native_module, tmp_path):
        with pytest.raises(IsADirectoryError):
            native_module.get_hash_digest(str(tmp_path))
        with pytest.raises(FileNotFoundError) as raised:
            native_module.get_hash_digest(str(tmp_path / "missing"))
        assert entries(raised.value) == [at("get_hash_digest")]

    @pytest.mark.parametrize("fails, exit_does, outcome, exits, reads", [
        ("hash", None, "ValueError: hash failed", [ValueError], 4),
        (None, "raise", "OSError: close failed", [None], 5),
        ("read", "raise", "OSError: close failed, from ValueError: read failed", [ValueError], 1),
        ("read", "suppress", "digest", [ValueError], 1),
    ], ids=["hash fails", "exit raises", "read fails, exit raises", "read fails, exit suppresses"])
    def test_reads_in_blocks_and_leaves_the_file_as_with_does(
            self, digest_with, fails, exit_does, outcome, exits, reads):
        """An __exit__ that raises replaces the exception, with the body's as its context; one that
        returns true swallows the body's, and the loop simply ends."""
        sizes, exited = [], []

        class File(io.FileIO):
            def read(self, size):
                sizes.append(size)
                if fails == "read":
                    raise ValueError("read failed")
                return super().read(size)

            def __exit__(self, *exc):
                exited.append(exc[0])
                self.close()
                if exit_does == "raise":
                    raise OSError("close failed")
                return exit_does == "suppress"

        def fail(hash, chunks):
            if fails == "hash" and len(chunks) == 4:
                raise ValueError("hash failed")

        result, chunks = digest_with(fail, opener=File)
        if outcome == "digest":
            assert result == "done" and chunks == []
        else:
            context = result.__context__
            assert f"{type(result).__name__}: {result}" + (
                f", from {type(context).__name__}: {context}" if context else "") == outcome
            assert entries(result) == [at("get_hash_digest")]
        # Blocks of the hash's block_size, up to the end of the file or the failure.
        assert exited == exits and sizes == [64] * reads

    @pytest.mark.parametrize("block_size, change", [
        (64, lambda h: setattr(type(h), "block_size", 32)),
        (64, lambda h: setattr(type(h), "block_size", property(lambda self: 32))),
        (64, lambda h: setattr(h, "block_size", 32)),
        (int.__dict__["real"], lambda h: setattr(type(h), "block_size", 32)),
    ], ids=["class attribute", "data descriptor", "instance attribute", "built-in getter replaced"])
    def test_block_size_changed_between_passes_is_read_on_the_next(
            self, digest_with, block_size, change):
        """A hash type that is not immutable gets the ordinary lookup on every pass, even where it
        holds a built-in getter (int's `real`, the hash being an int of 64)."""
        result, chunks = digest_with(lambda hash, chunks: len(chunks) == 1 and change(hash),
                                     block_size=block_size)
        assert result == "done" and [len(c) for c in chunks] == [64, 32, 32, 32, 32, 8]

    def test_builtin_read_of_another_calling_convention_is_called_as_python_calls_it(
            self, digest_with):
        """mmap's read is a built-in method that takes its arguments as a tuple."""
        def map_file(path, mode):
            with open(path, mode) as file:
                return mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)

        result, chunks = digest_with(lambda hash, chunks: None, opener=map_file)
        assert result == "done" and chunks == [b"x" * 64] * 3 + [b"x" * 8]


@pytest.fixture
def digest_with(native_module, tmp_path):
    """get_hash_digest of a 200-byte file, with sha256 replaced by a hash that keeps its chunks
    and calls on_update(hash, chunks) after each (an int of 64, whose class holds `block_size`,
    64 unless given), and open by `opener` if given: (the result or the exception, the chunks)."""
    path = tmp_path / "f"
    path.write_bytes(b"x" * 200)

    def run(on_update, opener=None, block_size=64):
        chunks = []
        size = block_size

        class Hash(int):
            block_size = size

            def update(self, chunk):
                chunks.append(chunk)
                on_update(self, chunks)

            def hexdigest(self):
                return "done"

        native_module.hashlib = types.SimpleNamespace(sha256=lambda: Hash(64))
        if opener:
            native_module.open = opener
        try:
            return native_module.get_hash_digest(str(path)), chunks
        except Exception as error:
            return error, chunks
        finally:
            vars(native_module).pop("open", None)
            native_module.hashlib = hashlib

    return run


class TestObjectReader:
    def test_content_returned_unchanged_up_to_4096_bytes(self, windows_build):
        world = fake_world(objects={"exe_hash": b" abc\n", "long": bytes(4096), "longer": bytes(4097)})
        module = wired(windows_build, world)
        assert module.s3_file_reader(file_path="exe_hash") == b" abc\n"
        assert module.s3_file_reader("long") == bytes(4096)
        # Never read further than that: whatever the store sends, the rest stays unread.
        with pytest.raises(RuntimeError) as refused:
            module.s3_file_reader("longer")
        assert refused.value.refusal == "oversized"
        assert world.names("s3.get_object", "Body.read")[-2:] == [
            ("s3.get_object", (("Bucket", BUCKET), ("Key", "longer"))), ("Body.read", 4097)]
