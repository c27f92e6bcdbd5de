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

import contextlib
import errno
import fcntl
import os
import re
import secrets
import stat
import struct
import time
import zlib

from _corvalind import PrefixSearch

MAGIC = b"\x89CORVSN\n"
FORMAT_VERSION = 1
_HEADER = struct.Struct("<8sIQI")
HEADER_SIZE = _HEADER.size

StrPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]

# Temporaries are ".{name}.{16 hex digits}.tmp" beside the target, locked
# while written; one whose lock is free and that is older than this many
# seconds was left by a writer that died, and the next save removes it.
_STALE_AFTER = 10.0
_TEMPORARY_SUFFIX_BYTES = len(b"..0123456789abcdef.tmp")


class SnapshotFileError(ValueError):
    """A file that ``load`` refuses: not a snapshot file, a newer format,
    truncated, extended, a checksum that differs, or a snapshot that does not
    decode; and a path that ``load`` or ``save`` refuses to open or replace
    because it names a FIFO, a device or a socket. ``path`` is the path as
    given, ``reason`` says what is wrong, and the message is "{path}: {reason}".
    """

    def __init__(self, path: StrPath, reason: str) -> None:
        super().__init__(f"{os.fsdecode(path)}: {reason}")
        self.path = os.fspath(path)
        self.reason = reason


def _special_file(path: StrPath, mode: int) -> OSError | SnapshotFileError | None:
    """The error for a path whose file is not a regular file, or None."""
    if stat.S_ISREG(mode):
        return None
    if stat.S_ISDIR(mode):
        return IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    kind = (
        "a FIFO or pipe" if stat.S_ISFIFO(mode)
        else "a character device" if stat.S_ISCHR(mode)
        else "a block device" if stat.S_ISBLK(mode)
        else "a socket" if stat.S_ISSOCK(mode)
        else "not a regular file"
    )
    return SnapshotFileError(path, f"not a regular file ({kind}); snapshot files are regular files")


def save(trie: PrefixSearch, path: StrPath) -> None:
    """Writes ``trie`` to ``path`` (str, bytes or path-like) as a snapshot
    file, atomically.

    The file is written under a temporary name in the directory of the
    file it replaces, flushed to disk, renamed over it and the directory
    synced, so after a crash ``path`` holds either the old file or the
    whole new one. When ``path`` is a symbolic link, the file it leads to
    is replaced and the link kept. The new file gets the permissions of a
    newly created file (0666 less the umask). A temporary that an earlier,
    killed save left there (".{name}.{16 hex digits}.tmp", older than ten
    seconds and no longer locked by its writer) is removed.

    Raises SnapshotFileError when ``path`` names a FIFO, a device or a
    socket (nothing is opened or replaced then), IsADirectoryError for a
    directory, TypeError for a path that is not str, bytes or path-like,
    and OSError when the directory cannot be written; the temporary file is
    removed then. Cost: ``to_bytes``, a CRC-32 over the snapshot, two fsyncs
    and a listing of the directory.
    """
    target = save_target(path)
    directory, name = os.path.split(target)
    snapshot = trie.to_bytes()
    header = _HEADER.pack(MAGIC, FORMAT_VERSION, len(snapshot), zlib.crc32(snapshot))
    prefix = _temporary_prefix(directory, name)
    _remove_stale_temporaries(directory, prefix)
    temporary = os.path.join(directory, b"%s.%s.tmp" % (prefix, secrets.token_hex(8).encode()))
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    try:
        with open(descriptor, "wb") as file:
            # Only marks the temporary as in use; a file system without
            # locks leaves it to the age check.
            with contextlib.suppress(OSError):
                fcntl.flock(file.fileno(), fcntl.LOCK_EX)
            file.write(header)
            file.write(snapshot)
            file.flush()
            os.fsync(file.fileno())
            os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    directory_descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory_descriptor)
    finally:
        os.close(directory_descriptor)


def save_target(path: StrPath) -> bytes:
    """The file that ``save(trie, path)`` replaces or creates: ``path`` with
    symbolic links resolved. Raises what ``save`` raises for a path that it
    refuses (a FIFO, a device, a socket, a directory), so a caller can check
    before the work of building a trie. Cost: a few system calls.
    """
    target = os.path.realpath(os.fsencode(path))
    try:
        refusal = _special_file(path, os.stat(target).st_mode)
    except FileNotFoundError:
        refusal = None
    if refusal is not None:
        raise refusal
    return target


def _temporary_prefix(directory: bytes, name: bytes) -> bytes:
    """"." and as much of ``name`` as fits with the temporary's suffix in
    the longest name the directory allows."""
    try:
        longest = os.pathconf(directory, "PC_NAME_MAX")
    except (OSError, ValueError):
        longest = 255
    return b"." + name[: max(1, longest - _TEMPORARY_SUFFIX_BYTES)]


def _remove_stale_temporaries(directory: bytes, prefix: bytes) -> None:
    """Removes the temporaries of dead writers to names with this prefix."""
    pattern = re.compile(re.escape(prefix) + rb"\.[0-9a-f]{16}\.tmp")
    for entry in os.listdir(directory):
        if pattern.fullmatch(entry):
            with contextlib.suppress(OSError):
                _remove_if_stale(os.path.join(directory, entry))


def _remove_if_stale(path: bytes) -> None:
    descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode) or time.time() - status.st_mtime < _STALE_AFTER:
            return
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)  # BlockingIOError: its writer lives
        if os.lstat(path).st_ino == status.st_ino:
            os.unlink(path)
    finally:
        os.close(descriptor)


def read_snapshot(path: StrPath) -> bytes:
    """The snapshot bytes of a file that ``save`` wrote, checked, not decoded.

    ``path`` is a str, bytes or path-like (TypeError otherwise: a file
    descriptor is not taken). Raises SnapshotFileError for a path that names
    a FIFO, a device or a socket (opened without waiting for a writer), a
    file that is not a snapshot file (wrong magic), has a format version
    other than 1, is shorter or longer than its header says, or whose
    snapshot does not match its checksum; OSError (FileNotFoundError,
    IsADirectoryError and the like) when the file cannot be read.
    Cost: reading the file and a CRC-32 over it.
    """
    name = os.fspath(path)
    # Non-blocking, so that opening a FIFO does not wait for a writer.
    descriptor = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        status = os.fstat(descriptor)
        refusal = _special_file(path, status.st_mode)
        if refusal is not None:
            raise refusal
        os.set_blocking(descriptor, True)
    except BaseException:
        os.close(descriptor)
        raise
    with open(descriptor, "rb") as file:
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
        present = status.st_size - HEADER_SIZE
        if present != length:
            state = "truncated" if present < length else "extended"
            raise SnapshotFileError(
                path, f"{state}: the header declares {length} snapshot bytes, the file holds {present}"
            )
        snapshot = file.read(length + 1)
    if len(snapshot) != length:
        raise SnapshotFileError(path, f"changed while read: {len(snapshot)} snapshot bytes read, {length} declared")
    computed = zlib.crc32(snapshot)
    if computed != checksum:
        raise SnapshotFileError(
            path, f"checksum mismatch: the header says {checksum:08x}, the snapshot gives {computed:08x}"
        )
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
