"""Figures of the comparison and their three renderings: terminal, Markdown, chart."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

OURS = "corvalind"
COLORS = {
    OURS: "#1b6ca8",
    "corvalind, no videos": "#7fb3d9",
    "symspellpy": "#e07b39",
    "rapidfuzz": "#7a9a3a",
    "pickle": "#8c6bb1",
    "marisa-trie": "#c44e52",
    "set": "#8c8c8c",
}


@dataclass
class Latency:
    """Per-query latency of one system on one kind of query."""

    setting: str
    system: str
    queries: int
    median_us: float
    p99_us: float
    ratio: float | None  # this system's median over ours, on the same queries


@dataclass
class Storage:
    """One way of saving or restoring the trie: ours and the pickle alternative."""

    operation: str
    ours: str
    ours_s: float
    rival: str
    rival_s: float | None


@dataclass
class Memory:
    """Resident growth of one structure holding the terms, from its own process."""

    structure: str
    rss_bytes: int
    peak_bytes: int
    build_s: float


@dataclass
class Results:
    environment: list[tuple[str, str]] = field(default_factory=list)
    data: list[tuple[str, str]] = field(default_factory=list)
    latency: list[Latency] = field(default_factory=list)
    agreement: list[str] = field(default_factory=list)
    storage: list[Storage] = field(default_factory=list)
    sizes: list[tuple[str, str]] = field(default_factory=list)
    memory: list[Memory] = field(default_factory=list)
    ours_memory: list[tuple[str, str]] = field(default_factory=list)
    baseline: str = ""


def _us(value: float) -> str:
    return f"{value:,.1f}" if value < 1000 else f"{value:,.0f}"


def _seconds(value: float | None) -> str:
    return "—" if value is None else f"{value:.3f}"


def _ratio(value: float | None) -> str:
    return "—" if value is None else f"{value:.2f}×"


def _mib(value: float) -> str:
    return f"{value / 2**20:,.1f}"


def _tables(results: Results) -> list[tuple[str, int, list[str], list[list[str]]]]:
    """(title, number of text columns, headers, rows) of every table, as both renderings show them."""
    ours_rss = next((m.rss_bytes for m in results.memory if m.structure == OURS), None)
    return [
        (
            "Query latency per call (µs); ratio = their median / ours on the same queries",
            2,
            ["query", "system", "queries", "median µs", "p99 µs", "vs ours"],
            [
                [row.setting, row.system, str(row.queries), _us(row.median_us), _us(row.p99_us), _ratio(row.ratio)]
                for row in results.latency
            ],
        ),
        (
            "Save and restore (s, median of runs); ratio = pickle / ours",
            3,
            ["operation", "ours", "pickle (protocol 5)", "ours s", "pickle s", "vs ours"],
            [
                [
                    row.operation,
                    row.ours,
                    row.rival,
                    _seconds(row.ours_s),
                    _seconds(row.rival_s),
                    _ratio(None if row.rival_s is None else row.rival_s / row.ours_s),
                ]
                for row in results.storage
            ],
        ),
        (
            "Resident memory of the same terms, each in a fresh process (MiB)",
            1,
            ["structure", "RSS growth", "peak growth", "build s", "vs ours"],
            [
                [
                    row.structure,
                    _mib(row.rss_bytes),
                    _mib(row.peak_bytes),
                    _seconds(row.build_s),
                    _ratio(row.rss_bytes / ours_rss if ours_rss else None),
                ]
                for row in results.memory
            ],
        ),
    ]


def _text_table(text_columns: int, headers: list[str], rows: list[list[str]]) -> list[str]:
    widths = [max(len(cell) for cell in column) for column in zip(headers, *rows)]

    def line(cells: list[str]) -> str:
        return "  ".join(
            cell.ljust(width) if index < text_columns else cell.rjust(width)
            for index, (cell, width) in enumerate(zip(cells, widths))
        ).rstrip()

    return [line(headers), "  ".join("-" * width for width in widths), *(line(row) for row in rows)]


def _markdown_table(text_columns: int, headers: list[str], rows: list[list[str]]) -> list[str]:
    return [
        "| " + " | ".join(headers) + " |",
        "|" + "|".join("---" if index < text_columns else "---:" for index in range(len(headers))) + "|",
        *("| " + " | ".join(row) + " |" for row in rows),
    ]


def terminal(results: Results) -> str:
    lines: list[str] = []
    for title, text_columns, headers, rows in _tables(results):
        lines += ["", title, *_text_table(text_columns, headers, rows)]
    lines += ["", "Our trie:", *(f"  {name}: {value}" for name, value in results.ours_memory)]
    lines += ["", "Agreement:", *(f"  {line}" for line in results.agreement)]
    lines += ["", "Typo search vs a compiled deletion dictionary (C++):", *(f"  {line}" for line in results.baseline.splitlines())]
    return "\n".join(lines)


def markdown(results: Results, chart_name: str) -> str:
    lines = ["# corvalind against the libraries users would pick instead", ""]
    lines += ["## Setting", "", *(f"- {name}: {value}" for name, value in results.environment)]
    lines += ["", "## Data", "", *(f"- {name}: {value}" for name, value in results.data)]
    lines += ["", f"![median latencies, save/restore times and memory]({chart_name})"]
    for title, text_columns, headers, rows in _tables(results):
        lines += ["", f"## {title}", "", *_markdown_table(text_columns, headers, rows)]
    lines += ["", "## Our trie", "", *(f"- {name}: {value}" for name, value in results.ours_memory)]
    lines += ["", "## Snapshot and pickle sizes", "", *(f"- {name}: {value}" for name, value in results.sizes)]
    lines += ["", "## Agreement of the results", "", *(f"- {line}" for line in results.agreement)]
    lines += ["", "## Typo search vs a compiled deletion dictionary (C++)", "", "```", results.baseline, "```", ""]
    return "\n".join(lines)


def chart(results: Results, path: Path) -> None:
    """Median query latencies (log scale), save/restore times and memory, side by side."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (queries, storage, memory) = plt.subplots(
        1, 3, figsize=(17, 6), gridspec_kw={"width_ratios": [3.2, 1.4, 1.6]}
    )

    # Bars of one setting are centred on its tick, however many systems ran it.
    settings = list(dict.fromkeys(row.setting for row in results.latency))
    width = 0.8 / max(sum(row.setting == s for row in results.latency) for s in settings)
    positions = {}
    for k, setting in enumerate(settings):
        rows = [row for row in results.latency if row.setting == setting]
        for index, row in enumerate(rows):
            positions[id(row)] = k + (index - (len(rows) - 1) / 2) * width
    for system in dict.fromkeys(row.system for row in results.latency):
        rows = [row for row in results.latency if row.system == system]
        ys = [row.median_us for row in rows]
        bars = queries.bar([positions[id(row)] for row in rows], ys, width, label=system, color=COLORS[system])
        queries.bar_label(bars, labels=[_us(y) for y in ys], fontsize=7, padding=2, rotation=90)
    queries.set_yscale("log")
    queries.set_xticks(range(len(settings)), [s.replace(", ", "\n") for s in settings], fontsize=8)
    queries.set_ylabel("median µs per query (log scale)")
    queries.set_title("Query latency")
    queries.legend(loc="upper left", fontsize=8)
    queries.margins(y=0.25)

    labels = [row.operation.replace(" ", "\n", 1) for row in results.storage]
    for offset, (system, values) in enumerate(
        [(OURS, [row.ours_s for row in results.storage]), ("pickle", [row.rival_s for row in results.storage])]
    ):
        xs = [k + (offset - 0.5) * 0.4 for k, v in enumerate(values) if v is not None]
        ys = [v for v in values if v is not None]
        bars = storage.bar(xs, ys, 0.4, label=system, color=COLORS[system])
        storage.bar_label(bars, labels=[f"{y:.3f}" for y in ys], fontsize=7, padding=2, rotation=90)
    storage.set_yscale("log")
    storage.set_xticks(range(len(labels)), labels, fontsize=7)
    storage.set_ylabel("seconds (log scale)")
    storage.set_title("Save and restore")
    storage.legend(loc="upper left", fontsize=8)
    storage.margins(y=0.3)

    names = [row.structure for row in results.memory]
    values = [row.rss_bytes / 2**20 for row in results.memory]
    bars = memory.bar(
        [name.replace(", ", "\n") + ("\n(k=2)" if name == "symspellpy" else "") for name in names],
        values,
        color=[COLORS[name] for name in names],
    )
    memory.bar_label(bars, labels=[f"{v:,.0f}" for v in values], fontsize=8, padding=2)
    memory.set_yscale("log")
    memory.set_ylabel("resident MiB (log scale)")
    memory.set_title("Memory")
    memory.tick_params(axis="x", labelsize=8)
    memory.margins(y=0.2)

    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
