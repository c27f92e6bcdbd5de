"""Records files: one (term, video id, count) record a line, as TSV or CSV.

A file whose first line holds a tab is read as TSV (fields split at tabs,
quotes taken literally), any other as CSV (commas, double quotes around
fields that hold commas, quotes or line breaks). Every row has three fields:
the term, exactly as written; the video id, a decimal number in
0..4294967295 or a UUID in any form ``uuid.UUID`` reads (32 digits are a
UUID without hyphens), all ids of one kind; and the count, a decimal number
in 0..4294967295. Spaces around the id and the count are ignored, blank
lines skipped, and a first line whose id and count are both not numbers is
taken for column names and skipped.
"""

from __future__ import annotations

import csv
import uuid
from collections.abc import Iterable, Iterator

from corvalind.flat_arrays import MAX_U32, Record, VideoId


class RecordFileError(ValueError):
    """A records file with a bad row; the message is "{source}:{line}: {reason}"."""

    def __init__(self, source: str, line: int, reason: str) -> None:
        super().__init__(f"{source}:{line}: {reason}")
        self.source = source
        self.line = line
        self.reason = reason


def _decimal(text: str) -> int | None:
    text = text.strip()
    return int(text) if text.isascii() and text.isdigit() else None


def _video_id(text: str) -> VideoId | None:
    text = text.strip()
    # 32 digits are a UUID without hyphens, far beyond any decimal id.
    number = _decimal(text) if len(text) != 32 else None
    if number is not None:
        return number
    try:
        return uuid.UUID(text)
    except ValueError:
        return None


def _is_header(fields: list[str]) -> bool:
    return len(fields) == 3 and _video_id(fields[1]) is None and _decimal(fields[2]) is None


def read_records(lines: Iterable[str], source: str) -> Iterator[Record]:
    """The records of a records file given as its lines (line ends kept, as
    a file opened with ``newline=""`` gives them), in file order.

    ``source`` names the file in errors. A byte that was not UTF-8 may come
    in as a lone surrogate (the "surrogateescape" error handler) and is
    reported with its line. Raises RecordFileError, naming the line, for a
    row without exactly three fields, an empty term, a term holding U+0000
    or bytes that are not UTF-8, an id that is neither decimal nor a UUID,
    or of the other kind than the first row's, an id or a count that is not
    a number in 0..4294967295. Cost: one pass, one record at a time.
    """
    lines = iter(lines)
    first = next(lines, "")
    tsv = "\t" in first
    rows = csv.reader(
        _chain(first, lines),
        delimiter="\t" if tsv else ",",
        quoting=csv.QUOTE_NONE if tsv else csv.QUOTE_MINIMAL,
        strict=True,
    )
    id_kind: tuple[str, int] | None = None  # kind of the first id, and its line
    previous_line = 0
    try:
        for fields in rows:
            line = previous_line + 1  # where the row starts
            previous_line = rows.line_num
            if not fields or fields == [""]:
                continue
            if line == 1 and _is_header(fields):
                continue
            if len(fields) != 3:
                raise RecordFileError(source, line, f"expected 3 fields (term, video id, count), found {len(fields)}")
            term, id_text, count_text = fields
            _check_term(term, source, line)
            video_id = _video_id(id_text)
            if video_id is None:
                raise RecordFileError(source, line, f"video id {id_text!r} is neither a decimal number nor a UUID")
            kind = "a UUID" if isinstance(video_id, uuid.UUID) else "decimal"
            if id_kind is None:
                id_kind = (kind, line)
            elif kind != id_kind[0]:
                raise RecordFileError(
                    source, line, f"video id {id_text!r} is {kind}, the id on line {id_kind[1]} is {id_kind[0]}"
                )
            if isinstance(video_id, int) and video_id > MAX_U32:
                raise RecordFileError(source, line, f"video id {video_id} is above {MAX_U32}")
            count = _decimal(count_text)
            if count is None or count > MAX_U32:
                raise RecordFileError(source, line, f"count {count_text!r} is not a whole number in 0..{MAX_U32}")
            yield term, video_id, count
    except csv.Error as error:
        raise RecordFileError(source, rows.line_num, str(error)) from None


def _chain(first: str, rest: Iterator[str]) -> Iterator[str]:
    if first:
        yield first
    yield from rest


def _check_term(term: str, source: str, line: int) -> None:
    if not term:
        raise RecordFileError(source, line, "empty term")
    if "\0" in term:
        raise RecordFileError(source, line, "term holds the character U+0000")
    try:
        term.encode("utf-8")
    except UnicodeEncodeError:
        raise RecordFileError(source, line, f"term {term!r} is not valid UTF-8") from None
