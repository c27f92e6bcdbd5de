"""Types of the native companion; see src/native/module.cc."""

from collections.abc import Sequence

from _corvalind import PrefixSearch

class ThreadBatch:
    def __new__(
        cls,
        trie: PrefixSearch,
        threads: int,
        videos: bool,
        max_dist: int,
        limit: int | None,
        include_prefix_nodes: bool | None,
        /,
    ) -> ThreadBatch: ...
    def submit(self, start: int, queries: Sequence[str], /) -> None: ...
    def collect(self) -> tuple[int, list[list[tuple[str, int, int]] | list[tuple[str, float]]]]: ...
    def close(self) -> None: ...

def stats(trie: PrefixSearch, /) -> dict[str, int | str]: ...
def term_totals(trie: PrefixSearch, terms: Sequence[str], /) -> list[int]: ...
def trie_fields(trie: PrefixSearch, /) -> dict[str, object]: ...
