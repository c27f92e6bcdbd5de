"""Around the ``_corvalind`` trie: the producer, snapshot files and batch matching.

``build_flat_arrays`` builds the flat arrays that
``PrefixSearch.from_internal_data_v2`` takes from plain (term, video id,
count) records; ``save`` and ``load`` keep a trie in a checked file;
``match_many`` answers many queries on many processes or a Dask cluster.
``build_from_titles`` builds a word trie from video titles, which
``search``, ``suggest`` and ``explain`` query as a search box would.
"""

from _corvalind import PrefixSearch
from corvalind.batch import PartitionMatcher, TermMatch, VideoMatch, iter_matches, match_many, partition_matcher
from corvalind.flat_arrays import (
    MAX_TERM_LENGTH,
    FlatArrays,
    PayloadTuple,
    Record,
    RecordError,
    VideoId,
    build_flat_arrays,
)
from corvalind.record_file import RecordFileError
from corvalind.search import Typos, explain, search, suggest
from corvalind.snapshot_file import SnapshotFileError, load, save
from corvalind.text import normalize
from corvalind.titles import TitleItem, build_from_titles, read_titles
from corvalind.trie_stats import TrieStats, stats

__all__ = [
    "FlatArrays",
    "MAX_TERM_LENGTH",
    "PartitionMatcher",
    "PayloadTuple",
    "PrefixSearch",
    "Record",
    "RecordError",
    "RecordFileError",
    "SnapshotFileError",
    "TermMatch",
    "TitleItem",
    "TrieStats",
    "Typos",
    "VideoId",
    "VideoMatch",
    "build_flat_arrays",
    "build_from_titles",
    "explain",
    "iter_matches",
    "load",
    "match_many",
    "normalize",
    "partition_matcher",
    "read_titles",
    "save",
    "search",
    "stats",
    "suggest",
]
