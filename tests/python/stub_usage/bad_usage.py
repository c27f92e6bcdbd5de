"""Mistakes that mypy --strict must report, each on the line it marks with
the error code expected there."""

from __future__ import annotations

from corvalind import PrefixSearch, load

trie = load("trie.cvd")
trie.fuzzy_match(b"helo")  # error: arg-type
trie.fuzzy_match("helo", max_dist="1")  # error: arg-type
trie.fuzzy_match("helo", distance=1)  # error: call-arg
trie.fuzzy_match_video("helo", include_prefix_nodes=1)  # error: arg-type
trie.fuzzy_match_video("helo", prefix_nodes=True)  # error: call-arg
PrefixSearch.from_bytes(bytearray(b"\x00"))  # error: arg-type
PrefixSearch.from_bytes(data=b"")  # error: call-arg
PrefixSearch()  # error: call-arg
trie.to_bytes(1)  # error: call-arg
score: int = trie.fuzzy_match_video("helo")[0][1]  # error: assignment
term: bytes = trie.fuzzy_match("helo")[0][0]  # error: assignment
trie.video_top_n  # noqa: B018  # error: attr-defined
