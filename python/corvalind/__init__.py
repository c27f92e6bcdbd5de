"""Producer side of the ``_corvalind`` trie.

Builds the flat arrays that ``_corvalind.PrefixSearch.from_internal_data_v2``
takes, from plain (term, video id, count) records.
"""

from corvalind.flat_arrays import FlatArrays, PayloadTuple, Record, VideoId, build_flat_arrays
from corvalind.batch import PartitionMatcher, TermMatch, VideoMatch, match_many, partition_matcher

__all__ = ["FlatArrays", "PayloadTuple", "Record", "VideoId", "build_flat_arrays"]
__all__ += ["PartitionMatcher", "TermMatch", "VideoMatch", "match_many", "partition_matcher"]
