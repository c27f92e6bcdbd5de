"""Writes demo/catalogue.tsv: a made-up catalogue of programming-tutorial videos.

Each video covers one public function, class or method of a well-known
standard-library module, and its title is the object's qualified name and the
first sentence of its docstring ("json.dumps: Serialize obj to a JSON
formatted str"). The video id is the CRC-32 of the qualified name (the next
free number on a clash), and the view count is drawn from a log-normal
distribution seeded with the qualified name, so the same interpreter always
writes the same file.

The catalogue is generated once and shipped; the demo only reads it.

    python3.13 demo/make_catalogue.py [--out demo/catalogue.tsv]
"""

from __future__ import annotations

import argparse
import importlib
import inspect
import random
import re
import zlib
from collections.abc import Iterator
from pathlib import Path

MODULES = """
    abc argparse array ast asyncio base64 bisect binascii bz2 calendar cmath
    codecs collections collections.abc colorsys concurrent.futures configparser
    contextlib copy csv dataclasses datetime decimal difflib email.message
    email.utils enum filecmp fnmatch fractions ftplib functools gc getpass
    gettext glob graphlib gzip hashlib heapq hmac html html.parser http.client
    http.cookies http.server imaplib importlib importlib.resources inspect io
    ipaddress itertools json keyword linecache locale logging logging.handlers
    lzma mailbox math mimetypes multiprocessing operator os os.path pathlib
    pickle pkgutil platform plistlib poplib pprint queue random re reprlib
    sched secrets select selectors shelve shlex shutil signal smtplib socket
    socketserver sqlite3 ssl stat statistics string struct subprocess symtable
    sys sysconfig tarfile tempfile textwrap threading time timeit token tokenize
    tomllib trace traceback types typing unicodedata unittest unittest.mock
    urllib.parse urllib.request uuid warnings wave weakref xml.dom.minidom
    xml.etree.ElementTree xml.sax zipfile zlib zoneinfo
""".split()

SEED = "corvalind-demo-catalogue"
MAX_TITLE = 120

# Builtin docstrings often open with a signature line such as "recv(n) -> data".
SIGNATURE = re.compile(r"^[\w.]+\(.*\)(\s*->.*)?$", re.DOTALL)
MARKUP = [
    (re.compile(r":[\w:]+:`~?([^`]+)`"), r"\1"),  # :func:`name` -> name
    (re.compile(r"`+([^`]+)`+"), r"\1"),  # ``code`` -> code
    (re.compile(r"\*+([^*]+)\*+"), r"\1"),  # *emphasis* -> emphasis
    (re.compile(r"\s+"), " "),
]
SENTENCE_END = re.compile(r"(?<=[a-z0-9)\]'\"])[.!?](?=\s|$)")


def first_sentence(obj: object) -> str | None:
    """The first sentence of the object's own docstring, markup removed."""
    doc = obj.__doc__ if isinstance(getattr(obj, "__doc__", None), str) else None
    if not doc:
        return None
    for paragraph in inspect.cleandoc(doc).split("\n\n"):
        paragraph = paragraph.split(">>>")[0].strip()  # no doctest examples
        if paragraph and not SIGNATURE.match(paragraph):
            break
    else:
        return None
    for pattern, replacement in MARKUP:
        paragraph = pattern.sub(replacement, paragraph)
    # Struct sequences repeat their name: "stat_result: Result from stat...".
    name = getattr(obj, "__name__", None)
    if isinstance(name, str) and paragraph.startswith(name + ": "):
        paragraph = paragraph[len(name) + 2 :]
    end = SENTENCE_END.search(paragraph)
    sentence = paragraph[: end.start()] if end else paragraph.rstrip(".")
    sentence = sentence.strip().rstrip(":")
    if len(sentence) < 12 or not sentence[0].isalpha():
        return None
    if len(sentence) > MAX_TITLE:
        sentence = sentence[:MAX_TITLE].rsplit(" ", 1)[0] + "..."
    return sentence[0].upper() + sentence[1:]


def public_names(module: object) -> list[str]:
    """The module's public API: its __all__, else its public attributes defined there."""
    names = getattr(module, "__all__", None)
    if names is not None:
        return sorted(set(names))
    return sorted(
        name
        for name, value in vars(module).items()
        if not name.startswith("_")
        and getattr(value, "__module__", None) in (module.__name__, "_" + module.__name__)
    )


def documented(module_name: str) -> Iterator[tuple[str, object]]:
    """(qualified name, object) of the module's public callables and their own methods."""
    module = importlib.import_module(module_name)
    objects = [(name, getattr(module, name, None)) for name in public_names(module)]
    # An object's own name before its aliases (socket before SocketType).
    objects.sort(key=lambda item: (getattr(item[1], "__name__", item[0]) != item[0], item[0]))
    for name, obj in objects:
        if not callable(obj) or inspect.ismodule(obj):
            continue
        yield f"{module_name}.{name}", obj
        if inspect.isclass(obj):
            for attr, member in sorted(vars(obj).items()):
                if attr.startswith("_"):
                    continue
                if isinstance(member, staticmethod | classmethod):
                    member = member.__func__
                if callable(member) or inspect.ismethoddescriptor(member):
                    yield f"{module_name}.{name}.{attr}", member


# Objects left out of the catalogue: the repository's text checks reserve a
# word their docstrings use.
LEFT_OUT = {"time.strftime", "time.strptime", "typing.ParamSpec"}


def catalogue() -> list[tuple[int, int, str]]:
    """(video id, views, title) rows, one per documented object, module by module."""
    seen_objects: set[int] = set()
    seen_sentences: set[str] = set()
    ids: set[int] = set()
    rows = []
    for module_name in MODULES:
        for qualname, obj in documented(module_name):
            # Re-exports and inherited docstrings would repeat a video.
            sentence = first_sentence(obj)
            if qualname in LEFT_OUT or sentence is None or id(obj) in seen_objects or sentence in seen_sentences:
                continue
            seen_objects.add(id(obj))
            seen_sentences.add(sentence)
            video_id = zlib.crc32(qualname.encode())
            while video_id in ids:
                video_id = (video_id + 1) % 2**32
            ids.add(video_id)
            views = max(1, int(random.Random(f"{SEED}:{qualname}").lognormvariate(7.0, 1.6)))
            rows.append((video_id, views, f"{qualname}: {sentence}"))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path(__file__).with_name("catalogue.tsv"))
    args = parser.parse_args()
    rows = catalogue()
    with args.out.open("w", encoding="utf-8", newline="\n") as out:
        out.write("video_id\tviews\ttitle\n")
        for video_id, views, title in rows:
            out.write(f"{video_id}\t{views}\t{title}\n")
    print(f"{args.out}: {len(rows)} videos, {args.out.stat().st_size:,} bytes")


if __name__ == "__main__":
    main()
