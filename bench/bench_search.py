"""Quality and speed of ``corvalind.search`` on real one-line texts, beside tantivy.

The catalogue: the first sentence of every definition of Debian's dict-gcide
(the GNU Collaborative International Dictionary of English) and every gloss
and example of Debian's wordnet-base, up to 14 words each, deduplicated
(353,597 texts; the first --titles of a seeded shuffle are used), video ids
1..N. Install them with ``apt-get install dict-gcide wordnet-base``; tantivy
with ``.venv/bin/pip install tantivy`` (only this benchmark uses it).

Queries: --queries texts drawn at random, each giving queries of 1, 2 and 3
of its words (its rarest words by document frequency, in text order: the
words a person looking for that video would type), each with 0, 1 and 2
typos (a substitution, insertion or deletion of a letter, each in a random
query word of 4 or more letters whose "auto" budget, counted on the word as
typed, still covers its typos) and with one swap of two neighbouring
letters. Recall@10 is the share of queries whose source video is among the
first 10 results, MRR the mean of 1/rank (0 beyond 10).

corvalind: ``search(trie, query)`` with its defaults. tantivy: the same
texts in one field with its default tokenizer; per query word a fuzzy term
query with the same per-word distance (its default: a swap costs 1), the
last word also as a prefix, combined as Should clauses of a boolean query;
the first 10 hits with their stored ids. Latency: each query timed alone,
the two engines interleaved, p50 / p99 per number of query words.

    python bench/bench_search.py [--titles 250000] [--queries 1000] [--top-n 128] [--seed 1]
    python bench/bench_search.py --top-n 32,64,128,256 --no-tantivy   # quality per video_top_n
"""

from __future__ import annotations

import argparse
import gzip
import random
import re
import statistics
import sys
import time
from collections import Counter
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

import corvalind  # noqa: E402
from corvalind.search import typo_budget  # noqa: E402
from corvalind.titles import DEFAULT_VIDEO_TOP_N  # noqa: E402

GCIDE = Path("/usr/share/dictd/gcide.dict.dz")
WORDNET = Path("/usr/share/wordnet")
MAX_WORDS = 14
SENSE_LABEL = re.compile(r"^(?:\d+\.\s*|\([A-Z][\w. ]*\)\s*|--\s*)+")
FIRST_SENTENCE = re.compile(r"(.+?[a-z)])[.;:](?:\s|$)")
TYPO_KINDS = ("0 typos", "1 typo", "2 typos", "1 swap")
LETTERS = "abcdefghijklmnopqrstuvwxyz"


def _add(title: str, titles: list[str], seen: set[str]) -> None:
    words = title.replace("{", "").replace("}", "").split()
    if len(words) >= 3:
        text = " ".join(words[:MAX_WORDS])
        if text.lower() not in seen:
            seen.add(text.lower())
            titles.append(text)


def load_titles() -> list[str]:
    """The real texts of the catalogue, in a fixed order."""
    titles: list[str] = []
    seen: set[str] = set()
    with gzip.open(GCIDE, "rt", encoding="utf-8", errors="replace") as file:
        dictionary = file.read()
    for paragraph in dictionary.split("\n\n"):
        lines = [
            line.strip() for line in paragraph.split("\n") if line[:1].isspace() and not line.strip().startswith("[")
        ]
        body = " ".join(lines)
        if "]" in body[:80] and "[" not in body[: body.index("]")]:
            body = body[body.index("]") + 1 :]  # the end of an etymology
        sentence = FIRST_SENTENCE.match(SENSE_LABEL.sub("", body.strip()))
        if sentence:
            _add(sentence.group(1), titles, seen)
    for part in ("noun", "verb", "adj", "adv"):
        for line in (WORDNET / f"data.{part}").read_text(encoding="utf-8", errors="replace").splitlines():
            if not line.startswith(" ") and "|" in line:
                for piece in line.split("|", 1)[1].split(";"):
                    _add(piece.strip().strip('"').strip(), titles, seen)
    return titles


def _edit(word: str, kind: str, rng: random.Random) -> str:
    at = rng.randrange(len(word))
    if kind == "substitute":
        return word[:at] + rng.choice(LETTERS.replace(word[at], "")) + word[at + 1 :]
    if kind == "insert":
        return word[:at] + rng.choice(LETTERS) + word[at:]
    if kind == "delete":
        return word[:at] + word[at + 1 :]
    at = rng.randrange(len(word) - 1)  # swap
    return word[:at] + word[at + 1] + word[at] + word[at + 2 :]


def _with_typos(words: list[str], typos: int, swap: bool, rng: random.Random) -> list[str] | None:
    """``words`` with ``typos`` edits inside the budgets, or with one swap
    (whatever the budget), in words of 4 or more letters; None when none fits."""
    candidates = [k for k, word in enumerate(words) if len(word) >= 4]
    if not candidates and (swap or typos):
        return None
    if swap:
        k = rng.choice(candidates)
        return words[:k] + [_edit(words[k], "swap", rng)] + words[k + 1 :]
    for _ in range(50):
        typed = list(words)
        edits = [0] * len(words)
        for _ in range(typos):
            k = rng.choice(candidates)
            typed[k] = _edit(typed[k], rng.choice(("substitute", "insert", "delete")), rng)
            edits[k] += 1
        if all(typo_budget(word, "auto") >= count for word, count in zip(typed, edits, strict=True)):
            return typed
    return None


Query = tuple[str, int, str, int]  # text, source video id, typo kind, number of words


def make_queries(titles: list[str], count: int, rng: random.Random) -> list[Query]:
    document_frequency: Counter[str] = Counter()
    for title in titles:
        document_frequency.update(set(corvalind.normalize(title)))
    queries: list[Query] = []
    for source in rng.sample(range(len(titles)), count):
        words = list(dict.fromkeys(corvalind.normalize(titles[source])))
        for size in (1, 2, 3):
            rarest = sorted(sorted(words, key=lambda word: document_frequency[word])[:size], key=words.index)
            for kind in TYPO_KINDS:
                typed = _with_typos(rarest, int(kind[0]) if kind != "1 swap" else 0, kind == "1 swap", rng)
                if typed is not None:
                    queries.append((" ".join(typed), source + 1, kind, size))
    return queries


class Tantivy:
    """The baseline: the same texts, fuzzy term queries per word."""

    def __init__(self, titles: list[str]) -> None:
        import tantivy

        self.tantivy = tantivy
        builder = tantivy.SchemaBuilder()
        builder.add_unsigned_field("id", stored=True)
        builder.add_text_field("title", stored=False)
        self.schema = builder.build()
        self.index = tantivy.Index(self.schema)
        writer = self.index.writer(heap_size=200_000_000, num_threads=1)
        for number, title in enumerate(titles, start=1):
            writer.add_document(tantivy.Document(id=[number], title=[title]))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()

    def search(self, query: str) -> list[int]:
        words = re.findall(r"[^\W_]+", query.lower())
        if not words:
            return []
        clauses = [
            (
                self.tantivy.Occur.Should,
                self.tantivy.Query.fuzzy_term_query(
                    self.schema, "title", word, distance=typo_budget(word, "auto"), prefix=k == len(words) - 1
                ),
            )
            for k, word in enumerate(words)
        ]
        hits = self.searcher.search(self.tantivy.Query.boolean_query(clauses), 10, count=False).hits
        return [self.searcher.doc(address)["id"][0] for _, address in hits]


def _rank(results: list[int], source: int) -> int | None:
    return results.index(source) + 1 if source in results else None


def run(engine: Callable[[str], list[int]], queries: list[Query]) -> tuple[list[int | None], list[int]]:
    ranks: list[int | None] = []
    latencies: list[int] = []
    for text, source, _, _ in queries:
        start = time.perf_counter_ns()
        results = engine(text)
        latencies.append(time.perf_counter_ns() - start)
        ranks.append(_rank(results, source))
    return ranks, latencies


def quality_rows(queries: list[Query], ranks: list[int | None]) -> dict[str, tuple[float, float, int]]:
    rows: dict[str, tuple[float, float, int]] = {}
    for kind in TYPO_KINDS:
        picked = [rank for query, rank in zip(queries, ranks, strict=True) if query[2] == kind]
        recall = sum(rank is not None for rank in picked) / len(picked)
        mrr = sum(1 / rank for rank in picked if rank is not None) / len(picked)
        rows[kind] = (recall, mrr, len(picked))
    return rows


def latency_rows(queries: list[Query], latencies: list[int]) -> dict[int, tuple[float, float]]:
    rows: dict[int, tuple[float, float]] = {}
    for size in (1, 2, 3):
        picked = sorted(latency for query, latency in zip(queries, latencies, strict=True) if query[3] == size)
        rows[size] = (statistics.median(picked) / 1000, picked[int(0.99 * (len(picked) - 1))] / 1000)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--titles", type=int, default=250_000)
    parser.add_argument("--queries", type=int, default=1000, help="source texts (each gives up to 12 queries)")
    parser.add_argument("--top-n", default=str(DEFAULT_VIDEO_TOP_N), help="video_top_n, or several, comma-separated")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-tantivy", action="store_true")
    args = parser.parse_args()
    rng = random.Random(args.seed)

    titles = load_titles()
    rng.shuffle(titles)
    titles = titles[: args.titles]
    words = sum(len(corvalind.normalize(title)) for title in titles)
    queries = make_queries(titles, args.queries, rng)
    print(f"catalogue: {len(titles):,} texts, {words:,} words; {len(queries):,} queries\n")

    items = [(number, title) for number, title in enumerate(titles, start=1)]
    engines: dict[str, Callable[[str], list[int]]] = {}
    for top_n in (int(value) for value in args.top_n.split(",")):
        start = time.perf_counter()
        trie = corvalind.build_from_titles(items, video_top_n=top_n)
        seconds = time.perf_counter() - start
        size = len(trie.to_bytes())
        print(
            f"build_from_titles, video_top_n {top_n}: {seconds:.1f} s, "
            f"{seconds / words * 1e6:.1f} s per million words, snapshot {size / 2**20:.1f} MiB"
        )
        trie.fuzzy_match("warm", 1)  # builds the typo index before timing

        def ours(query: str, trie: corvalind.PrefixSearch = trie) -> list[int]:
            return [int(video) for video, _ in corvalind.search(trie, query)]

        engines[f"corvalind (top_n {top_n})"] = ours
    if not args.no_tantivy:
        start = time.perf_counter()
        baseline = Tantivy(titles)
        print(f"tantivy index: {time.perf_counter() - start:.1f} s")
        engines["tantivy"] = baseline.search

    # Interleave the engines query by query, so load changes hit all alike.
    ranks: dict[str, list[int | None]] = {name: [] for name in engines}
    latencies: dict[str, list[int]] = {name: [] for name in engines}
    for query in queries:
        for name, engine in engines.items():
            found, took = run(engine, [query])
            ranks[name] += found
            latencies[name] += took

    print("\nquality: recall@10 / MRR of the source video (queries)")
    print("| engine | " + " | ".join(TYPO_KINDS) + " |")
    print("|---|" + "---:|" * len(TYPO_KINDS))
    for name in engines:
        rows = quality_rows(queries, ranks[name])
        print(
            f"| {name} | "
            + " | ".join(f"{rows[kind][0]:.3f} / {rows[kind][1]:.3f} ({rows[kind][2]})" for kind in TYPO_KINDS)
            + " |"
        )

    print("\nlatency per query, p50 / p99 in µs")
    print("| engine | 1 word | 2 words | 3 words |")
    print("|---|---:|---:|---:|")
    for name in engines:
        rows = latency_rows(queries, latencies[name])
        print(f"| {name} | " + " | ".join(f"{rows[size][0]:.0f} / {rows[size][1]:.0f}" for size in (1, 2, 3)) + " |")


if __name__ == "__main__":
    main()
