"""Fake libraries, file system and process for observing the module call by call.

The module is imported in this process with fake ``boto3``, ``urllib3`` and ``progressbar``
modules in ``sys.modules`` and with the functions of ``os``, ``shutil``, ``time``,
``subprocess``, ``locale``, ``sys.exit`` and the built-ins ``open`` and ``print`` substituted.
Every call lands in one ordered list, ``World.calls``, as a tuple: the call's name, then its
arguments; keyword arguments come as a tuple of (name, value) pairs, in the order they were passed.

Paths are Windows paths on a fake drive (the module under test is the Windows-style build), or
POSIX paths for the native build: the fake file system only compares texts.
"""

from __future__ import annotations

import builtins
import collections
import contextlib
import ctypes
import hashlib
import importlib
import io
import itertools
import os
import subprocess
import sys
import traceback
import types
from dataclasses import dataclass, field

import harness  # noqa: F401 (puts tools/ on the path)
from project import EXE_NAME

MODULE = "updater_core"


def entries(error):
    """(function, line) of the traceback entries the module added, outermost first."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)
            if f.filename == "<updater_core>"]


def module_definition(build_dir):
    """The path of the module's file in build_dir and its definition, as its init function gives it."""
    path = str(next(build_dir.glob(MODULE + "*")))
    init = getattr(ctypes.PyDLL(path), "PyInit_" + MODULE)
    init.restype = ctypes.c_void_p
    return path, init()


class NoSuchKey(Exception):
    """What the fake storage raises for a missing object."""


class Recorder:
    """A library object whose every method records its call as ("PREFIX.method", *args) and,
    with `keywords`, the keyword arguments as one tuple of pairs; it answers with `answers[method]`
    called with the same arguments, or with itself."""

    def __init__(self, world, prefix, keywords=True, **answers):
        self.world, self.prefix, self.keywords, self.answers = world, prefix, keywords, answers

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)

        def method(*args, **kwargs):
            self.world.record(f"{self.prefix}.{name}", *args, *[tuple(kwargs.items())] * self.keywords)
            answer = self.answers.get(name)
            return answer(*args, **kwargs) if answer else self

        return method


class FakeClient:
    def __init__(self, world):
        self.world = world
        self.meta = types.SimpleNamespace(events=types.SimpleNamespace(register=self._register))

    def _register(self, event, handler):
        self.world.record("events.register", event)
        self.world.handlers[event] = handler

    def _object(self, key):
        if key not in self.world.objects:
            raise NoSuchKey(key)
        return self.world.objects[key]

    def get_object(self, *args, **kwargs):
        self.world.record("s3.get_object", *args, tuple(kwargs.items()))
        content = self._object(kwargs["Key"])
        return {"Body": Recorder(self.world, "Body", False, read=lambda *a: content)}

    def head_object(self, *args, **kwargs):
        self.world.record("s3.head_object", *args, tuple(kwargs.items()))
        return {"ContentLength": self.world.content_length or len(self._object(kwargs["Key"]))}

    def download_fileobj(self, bucket, key, fileobj, **kwargs):
        self.world.record("s3.download_fileobj", bucket, key, fileobj.name, tuple(kwargs))
        data, step = self._object(key), self.world.download_chunk
        self.world.callback = callback = kwargs["Callback"]
        for start in range(0, len(data), step):
            fileobj.write(data[start : start + step])
            callback(len(data[start : start + step]))
            if self.world.fail_download_after is not None and start + step >= self.world.fail_download_after:
                raise ConnectionError("connection reset mid-download")


class FakeFile(io.BytesIO):
    """A file of the fake drive. Its bytes stand under whatever name its inode has now (it may be
    renamed while open); a file opened for reading reads the bytes it had when opened."""

    def __init__(self, world, path, mode):
        self.world, self.name, self.mode = world, path, mode
        super().__init__(world.files[path] if "r" in mode else b"")
        if "r" in mode:
            self.ino = world.inodes.setdefault(path, next(world.inode_numbers))
        else:
            world.files[path], world.inodes[path] = b"", next(world.inode_numbers)
            self.ino = world.inodes[path]

    def write(self, data):
        count = super().write(data)
        if path := self.world.named(self.ino):
            self.world.files[path] = self.getvalue()
        return count

    def fileno(self):
        self.world.record("file.fileno", self.name)
        self.world.descriptors[self.ino] = self
        return self.ino

    def close(self):
        if not self.closed:
            self.world.record("file.close", self.name)
            self.world.descriptors.pop(self.ino, None)
        super().close()


@dataclass
class World:
    """The fake drive, storage and console one import runs against."""

    cwd: str = "D:\\bots\\bin"
    files: dict = field(default_factory=dict)
    dirs: set = field(default_factory=set)
    read_only: set = field(default_factory=set)
    objects: dict = field(default_factory=dict)
    locale: object = ("English_United States", "1252")
    sep: str = "\\"
    download_chunk: int = 4
    content_length: int | None = None
    fail_download_after: int | None = None
    # The room left on the drive, as shutil.disk_usage tells it.
    free: int = 1 << 40
    # Maps a call name to an exception to raise when that call is made.
    failures: dict = field(default_factory=dict)
    # Maps a call name to a function run (with the call's arguments) when that call is made.
    hooks: dict = field(default_factory=dict)
    # The position (in `calls`) of a call that raises `fail_with` instead of doing its work.
    fail_at: int | None = None
    fail_with: BaseException | None = None
    calls: list = field(default_factory=list)
    # Each file's inode number by name, and the open files by descriptor (their inode number).
    inodes: dict = field(default_factory=dict)
    inode_numbers: object = field(default_factory=lambda: itertools.count(100))
    descriptors: dict = field(default_factory=dict)
    module: object = None
    callback: object = None
    # The client's event handlers by event, as the module registered them.
    handlers: dict = field(default_factory=dict)

    def record(self, name, *args):
        self.module = sys.modules.get(MODULE, self.module)
        self.calls.append((name, *args))
        if self.fail_at == len(self.calls) - 1:
            raise self.fail_with
        if name in self.hooks:
            self.hooks[name](*args)
        if name in self.failures:
            raise self.failures.pop(name)

    def path(self, name):
        """A bare file name resolved against the working directory, as the system would."""
        absolute = name[1:2] == ":" if self.sep == "\\" else name.startswith("/")
        return name if absolute else self.cwd + self.sep + name

    def named(self, ino):
        """The name the inode has now, or None."""
        return next((path for path, number in self.inodes.items() if number == ino), None)

    def inode(self, path):
        return self.inodes.setdefault(path, next(self.inode_numbers))

    def file(self, path):
        """The bytes at `path`; FileNotFoundError when there is no file there."""
        if path not in self.files:
            raise FileNotFoundError(2, "No such file", path)
        return self.files[path]

    def names(self, *wanted):
        """The calls whose names are among `wanted`, in order."""
        return [c for c in self.calls if c[0] in wanted]

    @property
    def printed(self):
        return [c[1] for c in self.calls if c[0] == "print"]


DiskUsage = collections.namedtuple("usage", "total used free")

BOT = "D:\\bots\\kelvo_bot.exe"
OLD, CURRENT, NEW = b"MZ old bot", b"MZ current bot", b"MZ new bot " * 40


def digest(content):
    return hashlib.sha256(content).hexdigest().encode()


# The executable in the bot folder (None: none) and the one published.
PRESETS = {"current": (CURRENT, CURRENT), "update": (OLD, NEW), "missing": (None, NEW)}


def fake_world(preset="current", *, posix=False, **settings):
    """A World of one of PRESETS: the bot folder D:\\bots (or /drive/bots with `posix`), run from
    its bin; `settings` override any field."""
    local, published = PRESETS[preset]
    sep, folder = ("/", "/drive/bots") if posix else ("\\", "D:\\bots")
    settings.setdefault("sep", sep)
    settings.setdefault("cwd", folder + sep + "bin")
    settings.setdefault("files", {} if local is None else {folder + sep + EXE_NAME: local})
    objects = {"exe_hash": digest(published)}
    if published != local:
        objects[EXE_NAME] = published
    settings.setdefault("objects", objects)
    return World(**settings)


# How an import or a call against a world ended: the exception (None: none), what it printed, the module.
Outcome = collections.namedtuple("Outcome", "world error stdout module")


def _fake_libraries(world):
    session = Recorder(world, "session", client=lambda *a, **k: FakeClient(world))
    widgets = {name: lambda *a, widget=name, **k: widget
               for name in ("Percentage", "Bar", "ETA", "FileTransferSpeed")}
    # The client's configuration, as what it was made with.
    config = types.SimpleNamespace(Config=lambda **settings: ("Config", tuple(settings.items())))
    return {
        "botocore": types.SimpleNamespace(config=config),
        "botocore.config": config,
        "boto3": types.SimpleNamespace(session=Recorder(world, "boto3.session", Session=lambda *a, **k: session)),
        "urllib3": Recorder(world, "urllib3"),
        "progressbar": Recorder(world, "progressbar", ProgressBar=lambda *a, **k: Recorder(world, "bar", False),
                                **widgets),
    }


def _fake_system(world):
    """(object, attribute, replacement) for every system function the module may call."""
    real_open = builtins.open

    def unlink(path):
        path = world.path(path)
        if path not in world.files:
            raise FileNotFoundError(2, "No such file", path)
        if path in world.read_only:  # as Windows refuses it
            raise PermissionError(13, "Access is denied", path)
        del world.files[path]
        world.inodes.pop(path, None)

    def stat_result(mode, size, ino=0):
        return os.stat_result((mode, ino, 0, 1, 0, 0, size, 0, 0, 0))

    def rename(source, target, resolve=True):
        if resolve:
            source, target = world.path(source), world.path(target)
        if source not in world.files:
            raise FileNotFoundError(2, "No such file", source)
        world.files[target] = world.files.pop(source)
        world.inodes[target] = world.inodes.pop(source, None) or next(world.inode_numbers)
        if source in world.read_only:
            world.read_only.discard(source)
            world.read_only.add(target)

    def chmod(path, mode):
        if mode & 0o200 and not isinstance(path, int):
            world.read_only.discard(world.path(path))

    # Called by the name each is recorded under.
    behaviours = {
        "os.getcwd": lambda: world.cwd,
        "os.path.isfile": lambda path: path in world.files,
        "os.path.isdir": lambda path: world.path(path) in world.dirs,
        "os.path.islink": lambda path: False,
        "os.path.lexists": lambda path: world.path(path) in world.files or world.path(path) in world.dirs,
        "os.unlink": unlink,
        "os.rename": rename,
        "os.replace": rename,
        "shutil.move": lambda source, target: rename(source, target, resolve=False),
        "os.lstat": lambda path: stat_result(0o100444 if world.path(path) in world.read_only else 0o100666,
                                             len(world.files[world.path(path)]),
                                             world.inode(world.path(path))),
        "os.fstat": lambda fd: stat_result(0o100640, len(world.descriptors[fd].getvalue()), fd),
        "os.stat": lambda path: stat_result(0o100640, 0 if isinstance(path, int) else len(world.file(path))),
        "os.chmod": chmod,
        "shutil.disk_usage": lambda path: DiskUsage(1 << 41, (1 << 41) - world.free, world.free),
        "os.chdir": lambda path: setattr(world, "cwd", path),
        # A folder opened to be flushed is known by a descriptor of its own; nothing is written.
        "os.open": lambda path, flags: world.inode(world.path(path)),
        "os.fsync": lambda fd: None,
        "time.sleep": lambda *a: None,
        "locale.getlocale": lambda *a: world.locale,
    }

    def recorded(name, behave):
        def call(*args):
            world.record(name, *args)
            return behave(*args)
        return call

    def fake_open(file, mode="r", *args, **kwargs):
        if not isinstance(file, str) or not file.startswith(("D:", "C:", "/drive", "kelvo")):
            return real_open(file, mode, *args, **kwargs)
        world.record("open", file, mode, *args)
        path = world.path(file)
        if "r" in mode and (path not in world.files or path in world.dirs):
            raise (IsADirectoryError if path in world.dirs else FileNotFoundError)(2, "cannot open", path)
        if "x" in mode and (path in world.files or path in world.dirs):
            raise FileExistsError(17, "File exists", path)
        return FakeFile(world, path, mode)

    def fake_print(*args, **kwargs):
        world.record("print", *args, *kwargs.items())
        sys.stdout.write(" ".join(map(str, args)) + "\n")

    real_close = os.close
    replacements = [
        (sys, "exit", _recording_exit(world)),
        # A folder's descriptor from the fake os.open is closed without a trace; any other is real.
        (os, "close", lambda fd: None if fd in world.inodes.values() else real_close(fd)),
        (subprocess, "Popen", lambda *a, **k: world.record("subprocess.Popen", a[0] if len(a) == 1 else a,
                                                          tuple(k.items()))),
        (builtins, "open", fake_open),
        (builtins, "print", fake_print),
    ]
    for name, behave in behaviours.items():
        owner, _, attribute = name.rpartition(".")
        replacements.append((importlib.import_module(owner), attribute, recorded(name, behave)))
    return replacements


def _recording_exit(world):
    real_exit = sys.exit

    def exit(*args):
        world.record("sys.exit", *args)
        real_exit(*args)

    return exit


@contextlib.contextmanager
def patched(world, libraries=None):
    """The fakes in place, for the duration of one import (or of calls made after it)."""
    saved_modules = {name: sys.modules.get(name)
                     for name in ("boto3", "botocore", "botocore.config", "urllib3", "progressbar")}
    replacements = _fake_system(world)
    saved = [(obj, attr, getattr(obj, attr)) for obj, attr, _ in replacements]
    try:
        sys.modules.update(_fake_libraries(world) if libraries is None else libraries)
        for obj, attr, value in replacements:
            setattr(obj, attr, value)
        yield
    finally:
        for obj, attr, value in saved:
            setattr(obj, attr, value)
        for name, module in saved_modules.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module


def call_in(world, function, *args, libraries=None, **kwargs):
    """Calls function(*args, **kwargs) against world, fakes in place: (Outcome, its result)."""
    stdout, error, result = io.StringIO(), None, None
    with contextlib.redirect_stdout(stdout), patched(world, libraries):
        try:
            result = function(*args, **kwargs)
        except BaseException as exc:  # SystemExit is the normal end of an import
            error = exc
    return Outcome(world, error, stdout.getvalue(), world.module), result


def import_module(build_dir, world, *, libraries=None):
    """Imports the module from build_dir against world; returns what happened."""
    world.module = None
    sys.path.insert(0, str(build_dir))
    try:
        return call_in(world, importlib.import_module, MODULE, libraries=libraries)[0]
    finally:
        sys.path.remove(str(build_dir))
        sys.modules.pop(MODULE, None)
