"""Stand-ins for the search layer's functions until it is on this branch
(installed only where corvalind lacks them; removed once it lands)."""

import re

import corvalind


def normalize(text):
    return re.findall(r"\w+", text.casefold())


def _typos(word, typos):
    if typos != "auto":
        return typos
    return 0 if len(word) < 4 else 1 if len(word) < 8 else 2


def search(trie, query, *, limit=10, typos="auto", prefix_last=True):
    scores = {}
    for word in dict.fromkeys(normalize(query)):
        for video, score in trie.fuzzy_match_video(word, _typos(word, typos), None):
            scores[video] = scores.get(video, 0.0) + score
    return sorted(scores.items(), key=lambda item: -item[1])[:limit]


def explain(trie, query, *, typos="auto", prefix_last=True):
    return [
        (word, sorted(((term, d) for term, _, d in trie.fuzzy_match(word, _typos(word, typos))), key=lambda m: m[1]))
        for word in dict.fromkeys(normalize(query))
    ]


def suggest(trie, term, *, limit=10, typos="auto"):
    word = term.casefold()
    return sorted(((t, d) for t, _, d in trie.fuzzy_match(word, _typos(word, typos))), key=lambda m: (m[1], m[0]))[
        :limit
    ]


def read_titles(path):
    with open(path, encoding="utf-8") as file:
        for number, line in enumerate(file, 1):
            video, tab, title = line.rstrip("\n").partition("\t")
            if not tab:
                raise ValueError(f"{path}:{number}: expected video id<TAB>title")
            yield video, title


def build_from_titles(items, *, video_top_n=None, weights=None):
    records = [(word, int(video), 1) for video, title in items for word in set(normalize(title))]
    arrays = corvalind.build_flat_arrays(records)
    return corvalind.PrefixSearch.from_internal_data_v2(*arrays.arguments(video_top_n=video_top_n or 10))


def install():
    for name in ("normalize", "search", "explain", "suggest", "read_titles", "build_from_titles"):
        if not hasattr(corvalind, name):
            setattr(corvalind, name, globals()[name])
