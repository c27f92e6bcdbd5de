"""Reading records files: TSV or CSV, an optional header, errors with lines,
the producer's refusals mapped to the line of the record."""

from __future__ import annotations

import uuid

import pytest

from corvalind import build_flat_arrays
from corvalind.record_file import RecordFileError, read_flat_arrays, read_records

U1 = "12345678-1234-5678-1234-567812345678"


def read(text: str) -> list:
    return list(read_records(text.splitlines(keepends=True), "r.txt"))


@pytest.mark.parametrize(
    ("text", "records"),
    [
        ("hello\t1\t3\nhelp\t2\t1\n", [("hello", 1, 3), ("help", 2, 1)]),
        ("term\tvideo\tcount\r\nhello\t1\t3\r\n", [("hello", 1, 3)]),
        ("term,video_id,count\nhello,1,3\n", [("hello", 1, 3)]),
        ('"a, b",7,1\n"say ""hi""",7,2\n', [("a, b", 7, 1), ('say "hi"', 7, 2)]),
        ('"two\nlines",7,1\n', [("two\nlines", 7, 1)]),
        # TSV takes quotes literally; spaces around numbers are dropped, not
        # around terms.
        ('"q"\t 4294967295 \t0\n\n', [('"q"', 4294967295, 0)]),
        (f" x\t{U1}\t1\ny\t{U1.replace('-', '').upper()}\t2\n", [(" x", uuid.UUID(U1), 1), ("y", uuid.UUID(U1), 2)]),
        ("", []),
        # The format is guessed from the first line that is not blank.
        ("\n\r\nterm\tvideo\tcount\nhello\t1\t3\n", [("hello", 1, 3)]),
        ("\nhello,1,3\n", [("hello", 1, 3)]),
        # A tab inside a quoted CSV term, with one or two tabs.
        ('"a\tb",1,1\nc,2,2\n', [("a\tb", 1, 1), ("c", 2, 2)]),
        ('"x\ty\tz",1,1\n', [("x\ty\tz", 1, 1)]),
        # Commas inside a TSV term, with and without a header.
        ("a,b,c\t1\t1\n", [("a,b,c", 1, 1)]),
        ("term\tvideo\tcount\na,b\t1\t1\n", [("a,b", 1, 1)]),
        # Leading zeros are not significant digits.
        (f"a\t{'0' * 5000}7\t{'0' * 30}1\n", [("a", 7, 1)]),
    ],
    ids=[
        "tsv", "tsv-header-crlf", "csv-header", "csv-quotes", "csv-newline", "tsv-literal", "uuid", "empty",
        "blank-then-tsv-header", "blank-then-csv", "csv-term-tab", "csv-term-two-tabs", "tsv-term-commas",
        "tsv-header-term-comma", "leading-zeros",
    ],
)
def test_reads(text, records):
    assert read(text) == records


LONG = "9" * 5000


@pytest.mark.parametrize(
    ("text", "message"),
    [
        # What the reader refuses: the shape of a row and numbers as text.
        ("a\t1\t1\nb\t1\n", "r.txt:2: expected 3 fields (term, video id, count), found 2"),
        ("a,1,1,1\n", "r.txt:1: expected 3 fields (term, video id, count), found 4"),
        ('"x\ny",1,1\nz,one,1\n', "r.txt:3: video id 'one' is neither a decimal number nor a UUID"),
        ("a\t-1\t1\n", "r.txt:1: video id '-1' is neither a decimal number nor a UUID"),
        ("a\t1\tmany\n", "r.txt:1: count 'many' is not a whole number in 0..4294967295"),
        ("a\t1\t1.5\n", "r.txt:1: count '1.5' is not a whole number in 0..4294967295"),
        (f"a\t1\t1\nb\t1\t{LONG}\n",
         "r.txt:2: count '99999999999999999999'... of 5000 characters is not a whole number in 0..4294967295"),
        (f"\na\t{LONG}\t1\n",
         "r.txt:2: video id '99999999999999999999'... of 5000 characters is neither a decimal number nor a UUID"),
        ('a,1,1\n"open,1,1\n', "r.txt:2: unexpected end of data"),
        # Only the first row can be a header.
        ("a\t1\t1\nterm\tvideo\tcount\n", "r.txt:2: video id 'video' is neither a decimal number nor a UUID"),
        # What the producer refuses, at the line of the record.
        ("a\t1\t1\n\n\t1\t1\n", "r.txt:3: the empty term can never be found"),
        ("a\0b\t1\t1\n", "r.txt:1: term 'a\\x00b' contains U+0000 and can never be found"),
        ("caf\udce9\t1\t1\n", "r.txt:1: term 'caf\\udce9' is not valid UTF-8 (lone surrogate)"),
        ("a\t4294967296\t1\n", "r.txt:1: int video id 4294967296 out of range [0..4294967295]"),
        ("a\t1\t4294967296\n", "r.txt:1: count 4294967296 out of range [0..4294967295]"),
        (f"a\t1\t1\n\nb\t{U1}\t1\n", f"r.txt:3: video id UUID('{U1}') is of another kind than the first one (int): "
         "ids must be all ints or all UUIDs"),
        (f'"x\ny",{U1},1\nb,2,1\n', "r.txt:3: video id 2 is of another kind than the first one (uuid): "
         "ids must be all ints or all UUIDs"),
        (f"a\t1\t1\n{'é' * 1001}\t1\t1\n",
         f"r.txt:2: term {'é' * 20!r}... of 1001 characters is longer than the limit of 1000"),
    ],
    ids=[
        "short-row", "long-row", "bad-id-after-multiline", "negative-id", "bad-count", "fraction", "huge-count",
        "huge-id", "open-quote", "late-header", "empty-term", "nul", "not-utf8", "id-range", "count-range",
        "uuid-after-int", "int-after-uuid", "term-too-long",
    ],
)
def test_bad_rows_name_their_line(text, message):
    with pytest.raises(RecordFileError) as raised:
        read_flat_arrays(text.splitlines(keepends=True), "r.txt")
    assert str(raised.value) == message


def test_flat_arrays_of_a_file_are_the_producers():
    text = "term\tvideo\tcount\nhello\t1\t3\nhelp\t2\t1\nhello\t2\t1\n"
    arrays, records = read_flat_arrays(text.splitlines(keepends=True), "r.txt")
    assert records == 3
    assert arrays == build_flat_arrays([("hello", 1, 3), ("help", 2, 1), ("hello", 2, 1)])


def test_term_length_limit_is_configurable():
    text = f"{'x' * 5000}\t1\t1\n"
    arrays, _ = read_flat_arrays([text], "r.txt", max_term_length=None)
    assert len(arrays.child_labels) == 5001
    refusal = r"^r\.txt:1: term 'x.* of 5000 characters is longer than the limit of 4999$"
    with pytest.raises(RecordFileError, match=refusal):
        read_flat_arrays([text], "r.txt", max_term_length=4999)
