"""Records files: one (term, video id, count) record a line, as TSV or CSV.

The first line that is not blank decides the format: TSV (fields split at
tabs, quotes taken literally) when it holds a tab and does not read as three
CSV fields ending in a count, else CSV (commas, double quotes around fields
that hold commas, quotes, tabs or line breaks). Every row has three fields:
the term, exactly as written; the video id, a decimal number or a UUID in
any form ``uuid.UUID`` reads (32 digits are a UUID without hyphens); and the
count, a decimal number. Spaces around the id and the count are ignored,
blank lines skipped, and a first row whose id and count are both not
numbers is taken for column names and skipped. What the values must be
(ranges, one kind of id, terms a query can find) is checked by
``build_flat_arrays``; ``read_flat_arrays`` reports its refusals with the
line of the record.
"""

from __future__ import annotations

import csv
import uuid
from array import array
from collections.abc import Iterable, Iterator

from corvalind.flat_arrays import MAX_TERM_LENGTH, MAX_U32, FlatArrays, Record, RecordError, VideoId, build_flat_arrays

# Digits beyond any number in range; longer runs are not converted at all
# (int() refuses 4,300 digits and more, and is quadratic below that).
_MAX_DIGITS = 20


class RecordFileError(ValueError):
    """A records file with a bad row; the message is "{source}:{line}: {reason}"."""

    def __init__(self, source: str, line: int, reason: str) -> None:
        super().__init__(f"{source}:{line}: {reason}")
        self.source = source
        self.line = line
        self.reason = reason


def _decimal(text: str) -> int | None:
    digits = text.strip()
    significant = digits.lstrip("0")
    if not (digits.isascii() and digits.isdigit()) or len(significant) > _MAX_DIGITS:
        return None
    return int(significant or "0")


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


def _shown(text: str) -> str:
    """A field as quoted in a message: whole when short, else its start."""
    return repr(text) if len(text) <= 40 else f"{text[:20]!r}... of {len(text)} characters"


def _is_header(fields: list[str]) -> bool:
    return len(fields) == 3 and _video_id(fields[1]) is None and _decimal(fields[2]) is None


def _is_tsv(line: str) -> bool:
    """Whether the first row of a file is TSV: it holds a tab, and unless
    CSV reads it as three fields it is TSV; when both read three fields,
    the reading whose last field is not a count loses."""
    if "\t" not in line:
        return False
    try:
        as_csv = next(csv.reader([line], strict=True), [])
    except csv.Error:  # an open quote: the row goes on past this line
        as_csv = []
    return len(as_csv) != 3 or (len(line.split("\t")) == 3 and _decimal(as_csv[2]) is None)


def _numbered_records(lines: Iterable[str], source: str) -> Iterator[tuple[int, Record]]:
    """The records with the line each starts on; syntax errors raised."""
    lines = iter(lines)
    leading: list[str] = []  # blank lines before the first row, then that row
    for text in lines:
        leading.append(text)
        if text.strip():
            break
    tsv = bool(leading) and _is_tsv(leading[-1])
    rows = csv.reader(
        _chain(leading, lines),
        delimiter="\t" if tsv else ",",
        quoting=csv.QUOTE_NONE if tsv else csv.QUOTE_MINIMAL,
        strict=True,
    )
    first_row = True
    previous_line = 0
    try:
        for fields in rows:
            line = previous_line + 1  # where the row starts
            previous_line = rows.line_num
            if not fields or fields == [""]:
                continue
            if first_row:
                first_row = False
                if _is_header(fields):
                    continue
            if len(fields) != 3:
                raise RecordFileError(source, line, f"expected 3 fields (term, video id, count), found {len(fields)}")
            term, id_text, count_text = fields
            video_id = _video_id(id_text)
            if video_id is None:
                raise RecordFileError(
                    source, line, f"video id {_shown(id_text)} is neither a decimal number nor a UUID"
                )
            count = _decimal(count_text)
            if count is None:
                raise RecordFileError(
                    source, line, f"count {_shown(count_text)} is not a whole number in 0..{MAX_U32}"
                )
            yield line, (term, video_id, count)
    except csv.Error as error:
        raise RecordFileError(source, rows.line_num, str(error)) from None


def _chain(first: list[str], rest: Iterator[str]) -> Iterator[str]:
    yield from first
    yield from rest


def read_records(lines: Iterable[str], source: str) -> Iterator[Record]:
    """The records of a records file given as its lines (line ends kept, as
    a file opened with ``newline=""`` gives them), in file order.

    ``source`` names the file in errors. Raises RecordFileError, naming the
    line, for a row without exactly three fields, an id that is neither
    decimal nor a UUID, or a count that is not a decimal number of at most
    20 significant digits. The values are not checked further: see
    ``read_flat_arrays``. Cost: one pass, one record at a time.
    """
    for _, record in _numbered_records(lines, source):
        yield record


def read_flat_arrays(
    lines: Iterable[str], source: str, *, max_term_length: int | None = MAX_TERM_LENGTH
) -> tuple[FlatArrays, int]:
    """The flat arrays of a records file's records, and how many records
    it holds.

    Raises RecordFileError, naming the line, for every row that
    ``read_records`` or ``build_flat_arrays`` refuses (a byte that was not
    UTF-8 comes in as a lone surrogate, with the "surrogateescape" error
    handler, and is refused with its term). Cost: ``build_flat_arrays`` and
    8 bytes a record for the line numbers.
    """
    record_lines = array("Q")

    def records() -> Iterator[Record]:
        for line, record in _numbered_records(lines, source):
            record_lines.append(line)
            yield record

    try:
        arrays = build_flat_arrays(records(), max_term_length=max_term_length)
    except RecordError as error:
        raise RecordFileError(source, record_lines[error.position], error.reason) from None
    return arrays, len(record_lines)
