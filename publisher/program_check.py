"""The program check: what is published must run. The bots start the executable as a 64-bit
Windows program, and one that cannot start leaves them without a bot; so the file's headers (PE)
are read before anything is uploaded, and anything else is named for what it is."""

from __future__ import annotations

import datetime
from dataclasses import dataclass

from failures import PublishError
from project import EXE_NAME

# A file's headers sit well within its first bytes.
HEAD_BYTES = 65536
MACHINES = {0x14C: "a 32-bit Windows program (x86)", 0xAA64: "an ARM64 Windows program",
            0x1C0: "an ARM Windows program", 0x200: "an Itanium Windows program"}
IMAGE_FILE_DLL = 0x2000


def not_a_program(head: bytes, size: int) -> str | None:
    """None when a file of `size` bytes that begins with `head` is a 64-bit Windows program (x64)
    that holds what its headers say; otherwise what the file is, in words."""
    if size == 0:
        return "empty (0 bytes)"
    if head.startswith(b"MZ"):
        return not_a_64_bit_program(head, size)
    if head.startswith(b"\x7fELF"):
        return f"an ELF program for Linux or another Unix ({size} bytes), not a Windows program"
    if head.startswith((b"PK\x03\x04", b"PK\x05\x06")):
        return f"a zip archive ({size} bytes), not a program"
    sample = head[:1024]
    if not any(byte < 0x20 and byte not in b"\t\n\r\f" or byte == 0x7F for byte in sample):
        first = sample.split(b"\n", 1)[0][:40].decode("utf-8", "replace")
        kind = "a script" if first.startswith("#!") else "text"
        return f"{kind} ({size} bytes, first line {first!r}), not a program"
    return f"not a Windows program ({size} bytes, beginning {head[:8].hex(' ')})"


def not_a_64_bit_program(head, size):
    """not_a_program for a file that begins with MZ: the PE signature where the header puts it,
    the machine, a program rather than a library, and a file as long as its sections say."""
    def number(at, width):
        return int.from_bytes(head[at:at + width], "little")

    pe = number(0x3C, 4)
    if len(head) < 0x40 or head[pe:pe + 4] != b"PE\0\0" or len(head) < pe + 24:
        return f"an MZ file without the PE signature of a Windows program at offset {pe} ({size} bytes)"
    machine = number(pe + 4, 2)
    if machine != 0x8664:
        kind = MACHINES.get(machine, f"a Windows program for machine 0x{machine:04x}")
        return f"{kind} ({size} bytes), not a 64-bit one (x64)"
    if number(pe + 22, 2) & IMAGE_FILE_DLL:
        return f"a 64-bit Windows library (DLL, {size} bytes), not a program"
    sections, table = number(pe + 6, 2), pe + 24 + number(pe + 20, 2)
    if not sections or len(head) < table + 40 * sections:
        return f"a damaged 64-bit Windows program ({size} bytes: its section table is missing)"
    # Each section's data: its size in the file at +16 of its entry, its offset at +20.
    end = max(number(entry + 20, 4) + number(entry + 16, 4)
              for entry in range(table, table + 40 * sections, 40))
    if end > size:
        return f"a truncated 64-bit Windows program ({size} bytes, where its sections end at byte {end})"
    return None


def check_program(args, what, head, size, then):
    """Refuses what is not a 64-bit Windows program, unless --not-a-windows-program says so."""
    problem = None if args.not_a_windows_program else not_a_program(head, size)
    if problem:
        raise PublishError(f"{what} is {problem}: the bots cannot start it, and a bot that installed "
                           f"it would be left without one. Publish the bot's own {EXE_NAME}, a 64-bit "
                           f"Windows program{then}")


# --- What the program says it is: its version resource and its build time (pefile reads them)

# The most bytes of the resource section read; a version resource is a few hundred bytes near its
# start, after icons and manifests that rarely pass a few megabytes.
LONGEST_RESOURCES = 16 * 1024 * 1024
# The resources' entry in the optional header's table of data directories.
RESOURCE_DIRECTORY = 2


@dataclass(frozen=True)
class Identity:
    """What a Windows program says it is: the version resource's ProductName, FileVersion and
    OriginalFilename (None where it has none) and the build time its PE header records."""

    product: str | None = None
    version: str | None = None
    original_name: str | None = None
    built: datetime.datetime | None = None

    def __str__(self):
        names = ", ".join(f"{label} {value!r}" for label, value in [
            ("product", self.product), ("version", self.version),
            ("original file name", self.original_name)] if value is not None)
        built = f"built {self.built:%Y-%m-%d %H:%M:%S} UTC" if self.built else "no build time"
        return f"{names or 'no version resource'}, {built}"

    def differs(self, other: Identity) -> bool:
        """Whether `other` is another program: its product name or original file name is not
        this one's (Windows names compared as Windows does, regardless of case)."""
        def names(identity):
            return [(value or "").casefold() for value in (identity.product, identity.original_name)]

        return any(mine and mine != theirs for mine, theirs in zip(names(self), names(other)))


def identify(read, size) -> Identity:
    """The identity of the 64-bit Windows program of `size` bytes whose bytes `read(start, stop)`
    gives: its headers and its resource section alone are read, so that a store's program is
    known from two ranged reads."""
    import pefile

    head = read(0, min(size, HEAD_BYTES))
    try:
        program = pefile.PE(data=head, fast_load=True)
    except pefile.PEFormatError:
        return Identity()
    stamp = program.FILE_HEADER.TimeDateStamp
    built = datetime.datetime.fromtimestamp(stamp, datetime.UTC) if stamp else None
    directories, entry = program.OPTIONAL_HEADER.DATA_DIRECTORY, RESOURCE_DIRECTORY
    resources = directories[entry] if entry < len(directories) else None
    section = resources and resources.Size and program.get_section_by_rva(resources.VirtualAddress)
    if not section:
        return Identity(built=built)
    start = section.PointerToRawData
    stop = min(start + section.SizeOfRawData, size, start + LONGEST_RESOURCES)
    # The headers and the resource section where the file has them; pefile reads nothing else.
    data = bytearray(max(stop, len(head)))
    data[:len(head)] = head
    if stop > len(head):
        data[start:stop] = read(start, stop)
    try:
        program = pefile.PE(data=bytes(data), fast_load=True)
        program.parse_data_directories(directories=[RESOURCE_DIRECTORY])
    except pefile.PEFormatError:
        return Identity(built=built)
    strings = {}
    for info in getattr(program, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update(table.entries)

    def text(name):
        value = strings.get(name.encode())
        return value.decode("utf-8", "replace").strip("\0 ") or None if value is not None else None

    return Identity(text("ProductName"), text("FileVersion"), text("OriginalFilename"), built)


def local_reader(path):
    """read(start, stop) of a local file, for identify."""
    def read(start, stop):
        with open(path, "rb") as file:
            file.seek(start)
            return file.read(stop - start)

    return read
