"""What a server answers from: a loaded trie with its titles, and its reloading.

A ``Catalogue`` is immutable once opened; a ``CatalogueHolder`` keeps the one
being served and swaps in a new one when its files are replaced. A request
reads ``holder.catalogue`` once and answers from that object, so a swap
between two requests never mixes two tries in one answer.
"""

from __future__ import annotations

import asyncio
import dataclasses
import logging
import os
import time
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import corvalind
from corvalind.snapshot_file import load

log = logging.getLogger("corvalind.serve")

# A query with a typo, so that opening a catalogue builds what the first
# typo query of a user would otherwise wait for.
WARM_UP_QUERY = "warm upq"

# (device, inode, size, modification time in ns): a file replaced by a
# rename gets a new inode, one rewritten in place a new size or time.
FileIdentity = tuple[int, int, int, int]


def file_identity(path: Path) -> FileIdentity:
    status = os.stat(path)
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)


def _utc_text(seconds: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


@dataclasses.dataclass(frozen=True)
class Catalogue:
    """A trie loaded from ``path``, the titles of its videos (empty without a
    titles file), and what /health reports about them."""

    path: Path
    titles_path: Path | None
    trie: corvalind.PrefixSearch
    titles: Mapping[str, str]
    identities: tuple[FileIdentity, ...]
    stats: Mapping[str, Any]
    loaded_at: float

    @classmethod
    def open(cls, path: Path, titles_path: Path | None = None) -> Catalogue:
        """Loads and checks the snapshot file and the titles file, and warms
        the trie up with one typo query. Raises OSError for a file that
        cannot be read, ValueError (SnapshotFileError, a bad titles row) for
        a damaged one. Costs one load, one pass for the figures and one query."""
        # Taken before reading: if a file is replaced meanwhile, the next
        # check sees a new identity and opens it again.
        identities = tuple(file_identity(file) for file in cls._files(path, titles_path))
        trie = load(path)
        titles = dict(corvalind.read_titles(str(titles_path))) if titles_path is not None else {}
        corvalind.search(trie, WARM_UP_QUERY)
        return cls(path, titles_path, trie, titles, identities, dict(corvalind.stats(trie)), time.time())

    @staticmethod
    def _files(path: Path, titles_path: Path | None) -> list[Path]:
        return [path] if titles_path is None else [path, titles_path]

    def current_identities(self) -> tuple[FileIdentity, ...]:
        """The identities of this catalogue's files as they are on disk now
        (raises OSError when one is missing)."""
        return tuple(file_identity(file) for file in self._files(self.path, self.titles_path))

    def health(self) -> dict[str, Any]:
        return {
            "file": str(self.path),
            "modified": _utc_text(self.identities[0][3] / 1e9),
            "loaded": _utc_text(self.loaded_at),
            "titles": None if self.titles_path is None else str(self.titles_path),
            "titled_videos": len(self.titles),
            "stats": dict(self.stats),
        }


class CatalogueHolder:
    """The catalogue being served, replaced by ``reload_if_changed`` when its
    files change on disk. A replacement that fails to open is refused and
    logged, the old catalogue keeps serving, and the refused files are not
    tried again until they change once more."""

    def __init__(self, catalogue: Catalogue) -> None:
        self.catalogue = catalogue
        self.reload_error: dict[str, str] | None = None
        self._refused: tuple[FileIdentity, ...] | None = None
        self._missing_logged = False

    async def reload_if_changed(self) -> bool:
        """Opens the files again, off the event loop, when they differ from
        the served ones; returns True iff a new catalogue was swapped in."""
        served = self.catalogue
        try:
            identities = served.current_identities()
        except OSError as error:
            if not self._missing_logged:
                log.warning("cannot check %s for changes (%s); still serving the loaded catalogue", served.path, error)
                self._missing_logged = True
            return False
        self._missing_logged = False
        if identities == served.identities or identities == self._refused:
            return False
        try:
            fresh = await asyncio.to_thread(Catalogue.open, served.path, served.titles_path)
        except (OSError, ValueError) as error:
            self._refused = identities
            self.reload_error = {"error": str(error), "at": _utc_text(time.time())}
            log.error(
                "refused the replaced catalogue: %s; still serving the one loaded %s",
                error,
                _utc_text(served.loaded_at),
            )
            return False
        self.catalogue = fresh
        self._refused = None
        self.reload_error = None
        log.info("reloaded %s (%d nodes, %d videos)", fresh.path, fresh.stats["nodes"], fresh.stats["videos"])
        return True

    async def watch(self, interval: float) -> None:
        """Checks for replaced files every ``interval`` seconds, for ever."""
        while True:
            await asyncio.sleep(interval)
            await self.reload_if_changed()
