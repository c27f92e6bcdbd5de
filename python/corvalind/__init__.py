"""Around the ``_corvalind`` trie: the producer, snapshot files and batch matching.

``build_flat_arrays`` builds the flat arrays that
``PrefixSearch.from_internal_data_v2`` takes from plain (term, video id,
count) records; ``save`` and ``load`` keep a trie in a checked file;
``match_many`` answers many queries on many processes or a Dask cluster.
"""

from _corvalind import PrefixSearch
from corvalind.batch import PartitionMatcher, TermMatch, VideoMatch, match_many, partition_matcher
from corvalind.flat_arrays import (
    MAX_TERM_LENGTH,
    FlatArrays,
    PayloadTuple,
    Record,
    RecordError,
    VideoId,
    build_flat_arrays,
)
from corvalind.snapshot_file import SnapshotFileError, load, save

__all__ = [
    "MAX_TERM_LENGTH",
    "FlatArrays",
    "PartitionMatcher",
    "PayloadTuple",
    "PrefixSearch",
    "Record",
    "RecordError",
    "SnapshotFileError",
    "TermMatch",
    "VideoId",
    "VideoMatch",
    "build_flat_arrays",
    "load",
    "match_many",
    "partition_matcher",
    "save",
]
