"""The module and the PrefixSearch class as the interpreter sees them."""

import weakref

import pytest

import _corvalind
from _corvalind import PrefixSearch

from conftest import EMPTY_TRIE


def test_module_attributes():
    assert _corvalind.__all__ == ["PrefixSearch"]
    assert _corvalind.__doc__ == ""
    assert _corvalind.PrefixSearch is PrefixSearch


def test_class_shape():
    assert PrefixSearch.__qualname__ == "PrefixSearch"
    assert PrefixSearch.__doc__ is None
    assert "__module__" not in PrefixSearch.__dict__
    assert list(name for name in PrefixSearch.__dict__ if not name.startswith("__")) == [
        "from_internal_data_v2",
        "to_bytes",
        "from_bytes",
        "fuzzy_match",
        "fuzzy_match_video",
    ]


@pytest.mark.parametrize(
    ("name", "signature"),
    [
        ("from_internal_data_v2", "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)"),
        ("to_bytes", "($self)"),
        ("from_bytes", "(b)"),
        ("fuzzy_match", "(term, max_dist=1, limit=None)"),
        ("fuzzy_match_video", "(term, max_dist=1, limit=None, include_prefix_nodes=None)"),
    ],
)
def test_method_signatures(name, signature):
    method = getattr(PrefixSearch, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


@pytest.mark.parametrize("construct", [lambda: PrefixSearch(), lambda: PrefixSearch.__new__(PrefixSearch)])
def test_direct_construction_is_refused(construct):
    with pytest.raises(TypeError) as raised:
        construct()
    assert str(raised.value) == "No constructor defined for <unknown>.PrefixSearch"


def test_no_subclass_no_attributes_no_weakref():
    with pytest.raises(TypeError):
        type("Sub", (PrefixSearch,), {})
    trie = PrefixSearch.from_bytes(EMPTY_TRIE)
    with pytest.raises(AttributeError):
        trie.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(trie)


def test_static_methods_work_on_instances_and_return_new_objects():
    trie = PrefixSearch.from_bytes(EMPTY_TRIE)
    again = trie.from_bytes(EMPTY_TRIE)
    assert type(again) is PrefixSearch and again is not trie
    built = trie.from_internal_data_v2([], [], [], [], [], 3)
    assert type(built) is PrefixSearch


def test_methods_refuse_foreign_objects():
    with pytest.raises(TypeError):
        PrefixSearch.to_bytes(object())
    with pytest.raises(TypeError):
        PrefixSearch.fuzzy_match("not a trie", "abc")

