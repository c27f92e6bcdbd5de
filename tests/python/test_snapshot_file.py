"""Snapshot files: save writes header and snapshot atomically, load refuses
every file that is not exactly what save wrote, before decoding it."""

from __future__ import annotations

import fcntl
import os
import stat
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import pytest

import corvalind
from corvalind import PrefixSearch, SnapshotFileError, build_flat_arrays
from corvalind.snapshot_file import FORMAT_VERSION, HEADER_SIZE, MAGIC


def built(records, top_n=10) -> PrefixSearch:
    return PrefixSearch.from_internal_data_v2(*build_flat_arrays(records).arguments(video_top_n=top_n))


@pytest.fixture
def saved(tmp_path):
    """A small trie saved to a file: (trie, path, file bytes)."""
    trie = built([("ab", 7, 2), ("ac", 300, 70_000), ("b", 7, 1)])
    path = tmp_path / "small.cvd"
    corvalind.save(trie, path)
    return trie, path, path.read_bytes()


def refusal(path) -> str:
    with pytest.raises(SnapshotFileError) as raised:
        corvalind.load(path)
    assert str(raised.value).startswith(f"{path}: ")
    assert raised.value.path == str(path)
    return raised.value.reason


def test_file_is_header_then_exact_snapshot(saved):
    trie, path, data = saved
    snapshot = trie.to_bytes()
    assert data[HEADER_SIZE:] == snapshot
    assert data[:HEADER_SIZE] == struct.pack("<8sIQI", MAGIC, FORMAT_VERSION, len(snapshot), zlib.crc32(snapshot))
    restored = corvalind.load(path)
    assert restored.to_bytes() == snapshot
    assert restored.fuzzy_match_video("ab", 0) == trie.fuzzy_match_video("ab", 0)
    assert corvalind.load(str(path)).to_bytes() == snapshot


def test_empty_trie_round_trips(tmp_path):
    path = tmp_path / "empty.cvd"
    corvalind.save(PrefixSearch.from_bytes(bytes(8)), path)
    assert corvalind.load(path).to_bytes() == bytes(8)


def test_every_single_byte_flip_is_refused(saved, tmp_path):
    _, _, data = saved
    damaged = tmp_path / "damaged.cvd"
    for position in range(len(data)):
        for flip in (0x01, 0x80, 0xFF):
            changed = bytearray(data)
            changed[position] ^= flip
            damaged.write_bytes(changed)
            refusal(damaged)


def test_every_truncation_and_extension_is_refused(saved, tmp_path):
    _, _, data = saved
    damaged = tmp_path / "damaged.cvd"
    for length in range(len(data)):
        damaged.write_bytes(data[:length])
        assert refusal(damaged).startswith("truncated")
    for extra in (b"\x00", b"\x00" * 1000, data):
        damaged.write_bytes(data + extra)
        assert refusal(damaged).startswith("extended")


@pytest.mark.parametrize(
    ("content", "reason"),
    [
        (bytes(1 << 20), "not a corvalind snapshot file (wrong magic bytes)"),
        (b"term\tvideo\tcount\n", "not a corvalind snapshot file (wrong magic bytes)"),
        (bytes(8), "not a corvalind snapshot file (wrong magic bytes)"),  # a bare to_bytes() snapshot
        (MAGIC + b"\x00", "truncated: 9 bytes, shorter than the 24-byte header"),
        (struct.pack("<8sIQI", MAGIC, 2, 8, zlib.crc32(bytes(8))) + bytes(8),
         "format version 2 is newer than this corvalind reads (up to 1)"),
        (struct.pack("<8sIQI", MAGIC, 0, 8, zlib.crc32(bytes(8))) + bytes(8), "unknown format version 0"),
        (struct.pack("<8sIQI", MAGIC, 1, 2**64 - 1, 0) + bytes(8),
         "truncated: the header declares 18446744073709551615 snapshot bytes, the file holds 8"),
        (struct.pack("<8sIQI", MAGIC, 1, 8, 0) + bytes(8),
         f"checksum mismatch: the header says 00000000, the snapshot gives {zlib.crc32(bytes(8)):08x}"),
    ],
    ids=["zeros", "text", "bare-snapshot", "short-header", "newer", "version-0", "huge-length", "checksum"],
)
def test_foreign_and_damaged_files_are_named(tmp_path, content, reason):
    path = tmp_path / "file.cvd"
    path.write_bytes(content)
    assert refusal(path) == reason


def test_checksummed_bytes_that_do_not_decode(tmp_path):
    snapshot = b"\x05"  # a count of 5 node shifts and nothing after
    path = tmp_path / "file.cvd"
    path.write_bytes(struct.pack("<8sIQI", MAGIC, 1, len(snapshot), zlib.crc32(snapshot)) + snapshot)
    with pytest.raises(SnapshotFileError) as raised:
        corvalind.load(path)
    assert raised.value.reason.startswith("the snapshot does not decode: decode error: UnexpectedEnd")
    assert isinstance(raised.value.__cause__, ValueError)


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        corvalind.load(tmp_path / "missing.cvd")


@pytest.mark.parametrize("failing", ["fsync", "replace"])
def test_failed_save_keeps_the_old_file_and_leaves_no_temporary(saved, monkeypatch, failing):
    _, path, old = saved

    def fail(*args, **kwargs):
        raise OSError(f"{failing} failed")

    monkeypatch.setattr(os, failing, fail)
    with pytest.raises(OSError, match=f"{failing} failed"):
        corvalind.save(built([("other", 1, 1)]), path)
    monkeypatch.undo()
    assert path.read_bytes() == old
    assert os.listdir(path.parent) == [path.name]


def test_save_replaces_and_uses_the_umask(saved):
    _, path, _ = saved
    corvalind.save(built([("zz", 9, 9)]), path)
    assert corvalind.load(path).fuzzy_match("zz", 0) == [("zz", 1, 0)]
    umask = os.umask(0)
    os.umask(umask)
    assert path.stat().st_mode & 0o777 == 0o666 & ~umask
    assert os.listdir(path.parent) == [path.name]


def test_save_into_missing_directory_fails(tmp_path):
    with pytest.raises(FileNotFoundError):
        corvalind.save(built([("a", 1, 1)]), tmp_path / "no" / "such.cvd")


def test_snapshot_file_error_is_a_value_error():
    assert issubclass(SnapshotFileError, ValueError)


def test_save_and_load_take_str_bytes_and_path_like_paths_only(saved, tmp_path):
    trie, path, data = saved
    corvalind.save(trie, os.fsencode(tmp_path / "bytes.cvd"))
    assert (tmp_path / "bytes.cvd").read_bytes() == data
    assert corvalind.load(os.fsencode(path)).to_bytes() == trie.to_bytes()
    descriptor = os.open(path, os.O_RDONLY)
    try:
        for call in (lambda: corvalind.load(descriptor), lambda: corvalind.save(trie, descriptor)):
            with pytest.raises(TypeError, match="expected str, bytes or os.PathLike object, not int"):
                call()
        os.fstat(descriptor)  # still open
    finally:
        os.close(descriptor)


def test_special_files_are_neither_replaced_nor_read(saved, tmp_path):
    trie, _, _ = saved
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # Opening a FIFO for reading waits for a writer, unless load takes care.
    script = textwrap.dedent(
        f"""
        import corvalind
        try:
            corvalind.load({str(fifo)!r})
        except ValueError as error:
            print(error)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.stdout == f"{fifo}: not a regular file (a FIFO or pipe); snapshot files are regular files\n"
    with pytest.raises(SnapshotFileError, match=r"fifo: not a regular file \(a FIFO or pipe\); snapshot files"):
        corvalind.save(trie, fifo)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    with pytest.raises(SnapshotFileError, match=r"^/dev/zero: not a regular file \(a character device\)"):
        corvalind.load("/dev/zero")
    with pytest.raises(IsADirectoryError):
        corvalind.save(trie, tmp_path)
    names = ["fifo", "small.cvd"]
    if os.geteuid() == 0:  # a node of its own like /dev/null's, which saving must leave alone
        os.mknod(tmp_path / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        with pytest.raises(SnapshotFileError, match=r"null: not a regular file \(a character device\)"):
            corvalind.save(trie, tmp_path / "null")
        assert stat.S_ISCHR(os.lstat(tmp_path / "null").st_mode)
        names.append("null")
    assert sorted(os.listdir(tmp_path)) == sorted(names)


def test_save_through_a_symlink_replaces_its_target(saved, tmp_path):
    trie, path, data = saved
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    target = elsewhere / "real.cvd"
    target.write_bytes(b"old")
    link = tmp_path / "link.cvd"
    link.symlink_to(target)
    corvalind.save(trie, link)
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_bytes() == data
    assert os.listdir(elsewhere) == ["real.cvd"]
    # A link to a missing file: the file is made where the link points.
    dangling = tmp_path / "dangling.cvd"
    dangling.symlink_to(elsewhere / "new.cvd")
    corvalind.save(trie, dangling)
    assert dangling.is_symlink() and (elsewhere / "new.cvd").read_bytes() == data


def test_long_names_fit_their_temporary(saved, tmp_path):
    trie, _, data = saved
    longest = os.pathconf(tmp_path, "PC_NAME_MAX")
    for length in (longest - 22, longest - 21, longest):
        path = tmp_path / ("n" * length)
        corvalind.save(trie, path)
        assert path.read_bytes() == data


def temporary_of(path, token="0123456789abcdef"):
    return path.with_name(f".{path.name}.{token}.tmp")


def test_stale_temporaries_of_dead_writers_are_removed(saved):
    trie, path, _ = saved
    old = time.time() - 60
    stale, fresh, locked = (temporary_of(path, f"{k:016x}") for k in range(3))
    other = temporary_of(path.with_name("other.cvd"))
    for temporary in (stale, fresh, locked, other):
        temporary.write_bytes(b"left behind")
        if temporary is not fresh:
            os.utime(temporary, (old, old))
    # A writer still at work holds the lock on its temporary.
    with open(locked, "rb") as writer:
        fcntl.flock(writer.fileno(), fcntl.LOCK_EX)
        corvalind.save(trie, path)
    assert sorted(os.listdir(path.parent)) == sorted(p.name for p in (path, fresh, locked, other))


def test_temporaries_left_by_a_killed_save_go_with_the_next_save(tmp_path):
    """kill -9 in the middle of a save, then a save to the same path."""
    path = tmp_path / "big.cvd"
    script = textwrap.dedent(
        f"""
        import os, signal, corvalind
        from corvalind import PrefixSearch, build_flat_arrays
        trie = PrefixSearch.from_internal_data_v2(*build_flat_arrays([("ab", 1, 1)]).arguments(10))
        def die(descriptor):
            os.kill(os.getpid(), signal.SIGKILL)
        os.fsync = die
        corvalind.save(trie, {str(path)!r})
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert result.returncode == -9
    [left] = os.listdir(tmp_path)
    assert left.startswith(".big.cvd.") and left.endswith(".tmp")
    os.utime(tmp_path / left, (time.time() - 60,) * 2)
    corvalind.save(built([("zz", 1, 1)]), path)
    assert os.listdir(tmp_path) == ["big.cvd"]
