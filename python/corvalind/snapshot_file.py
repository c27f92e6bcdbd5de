"""Snapshot files: a trie's ``to_bytes()`` snapshot behind a checked header.

A snapshot on its own has no header or checksum, so a damaged one can decode
as some other valid trie. A file written by ``save`` starts with a header of
24 bytes, all integers little-endian:

    offset  size  field
    0       8     magic: 89 'C' 'O' 'R' 'V' 'S' 'N' 0A
    8       4     format version (1)
    12      8     snapshot length in bytes
    20      4     CRC-32 of the snapshot bytes

followed by exactly the snapshot bytes, so ``to_bytes`` / ``from_bytes``
stay the interchange format. The high first byte and the newline in the
magic catch transfers that strip the eighth bit or rewrite line ends. CRC-32
detects every change confined to 32 consecutive bits, every byte flip among
them. ``load`` checks the header, the length and the checksum before
anything is decoded.
"""

from __future__ import annotations

import os
import secrets
import struct
import zlib
from pathlib import Path

from _corvalind import PrefixSearch

MAGIC = b"\x89CORVSN\n"
FORMAT_VERSION = 1
_HEADER = struct.Struct("<8sIQI")
HEADER_SIZE = _HEADER.size

StrPath = str | os.PathLike[str]


class SnapshotFileError(ValueError):
    """A file that ``load`` refuses: not a snapshot file, a newer format,
    truncated, extended, a checksum that differs, or a snapshot that does not
    decode. ``path`` is the file, ``reason`` says what is wrong, and the
    message is "{path}: {reason}".
    """

    def __init__(self, path: StrPath, reason: str) -> None:
        super().__init__(f"{os.fspath(path)}: {reason}")
        self.path = os.fspath(path)
        self.reason = reason


def save(trie: PrefixSearch, path: StrPath) -> None:
    """Writes ``trie`` to ``path`` as a snapshot file, atomically.

    The file is written under a temporary name in the same directory,
    flushed to disk, renamed over ``path`` and the directory synced, so
    after a crash ``path`` holds either the old file or the whole new one.
    The new file gets the permissions of a newly created file (0666 less the
    umask). Raises OSError when the directory cannot be written; the
    temporary file is removed then. Cost: ``to_bytes``, a CRC-32 over the
    snapshot and two fsyncs.
    """
    target = Path(path)
    snapshot = trie.to_bytes()
    header = _HEADER.pack(MAGIC, FORMAT_VERSION, len(snapshot), zlib.crc32(snapshot))
    temporary = target.with_name(f".{target.name}.{secrets.token_hex(8)}.tmp")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with open(descriptor, "wb") as file:
            file.write(header)
            file.write(snapshot)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    directory = os.open(target.parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


def read_snapshot(path: StrPath) -> bytes:
    """The snapshot bytes of a file that ``save`` wrote, checked, not decoded.

    Raises SnapshotFileError for a file that is not a snapshot file (wrong
    magic), has a format version other than 1, is shorter or longer than its
    header says, or whose snapshot does not match its checksum; OSError
    (FileNotFoundError and the like) when the file cannot be read.
    Cost: reading the file and a CRC-32 over it.
    """
    with open(path, "rb") as file:
        header = file.read(HEADER_SIZE)
        if header[: len(MAGIC)] != MAGIC[: len(header)]:
            raise SnapshotFileError(path, "not a corvalind snapshot file (wrong magic bytes)")
        if len(header) < HEADER_SIZE:
            raise SnapshotFileError(path, f"truncated: {len(header)} bytes, shorter than the {HEADER_SIZE}-byte header")
        _, version, length, checksum = _HEADER.unpack(header)
        if version > FORMAT_VERSION:
            raise SnapshotFileError(
                path, f"format version {version} is newer than this corvalind reads (up to {FORMAT_VERSION})"
            )
        if version != FORMAT_VERSION:
            raise SnapshotFileError(path, f"unknown format version {version}")
        # The size is checked before reading so that a damaged length field
        # cannot make the read allocate it.
        present = os.fstat(file.fileno()).st_size - HEADER_SIZE
        if present != length:
            state = "truncated" if present < length else "extended"
            raise SnapshotFileError(path, f"{state}: the header declares {length} snapshot bytes, the file holds {present}")
        snapshot = file.read()
    if len(snapshot) != length:
        raise SnapshotFileError(path, f"changed while read: {len(snapshot)} snapshot bytes read, {length} declared")
    computed = zlib.crc32(snapshot)
    if computed != checksum:
        raise SnapshotFileError(path, f"checksum mismatch: the header says {checksum:08x}, the snapshot gives {computed:08x}")
    return snapshot


def load(path: StrPath) -> PrefixSearch:
    """The trie stored in a file that ``save`` wrote.

    Raises SnapshotFileError (a ValueError) for every file ``read_snapshot``
    refuses and for a snapshot that passes its checksum but does not decode;
    OSError when the file cannot be read. Cost: ``read_snapshot`` plus
    ``PrefixSearch.from_bytes``.
    """
    snapshot = read_snapshot(path)
    try:
        return PrefixSearch.from_bytes(snapshot)
    except ValueError as error:
        raise SnapshotFileError(path, f"the snapshot does not decode: {error}") from error
