"""Producer side of the ``_corvalind`` trie.

Builds the flat arrays that ``_corvalind.PrefixSearch.from_internal_data_v2``
takes, from plain (term, video id, count) records.
"""

from _corvalind import PrefixSearch
from corvalind.flat_arrays import FlatArrays, PayloadTuple, Record, VideoId, build_flat_arrays
from corvalind.snapshot_file import SnapshotFileError, load, save

__all__ = [
    "FlatArrays",
    "PayloadTuple",
    "PrefixSearch",
    "Record",
    "SnapshotFileError",
    "VideoId",
    "build_flat_arrays",
    "load",
    "save",
]
