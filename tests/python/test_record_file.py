"""Reading records files: TSV or CSV, an optional header, errors with lines."""

from __future__ import annotations

import uuid

import pytest

from corvalind.record_file import RecordFileError, read_records

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
    ],
    ids=["tsv", "tsv-header-crlf", "csv-header", "csv-quotes", "csv-newline", "tsv-literal", "uuid", "empty"],
)
def test_reads(text, records):
    assert read(text) == records


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("a\t1\t1\nb\t1\n", "r.txt:2: expected 3 fields (term, video id, count), found 2"),
        ("a,1,1,1\n", "r.txt:1: expected 3 fields (term, video id, count), found 4"),
        ("a\t1\t1\n\n\t1\t1\n", "r.txt:3: empty term"),
        ("a\0b\t1\t1\n", "r.txt:1: term holds the character U+0000"),
        ("caf\udce9\t1\t1\n", "r.txt:1: term 'caf\\udce9' is not valid UTF-8"),
        ('"x\ny",1,1\nz,one,1\n', "r.txt:3: video id 'one' is neither a decimal number nor a UUID"),
        ("a\t-1\t1\n", "r.txt:1: video id '-1' is neither a decimal number nor a UUID"),
        ("a\t4294967296\t1\n", "r.txt:1: video id 4294967296 is above 4294967295"),
        (f"a\t1\t1\nb\t{U1}\t1\n", f"r.txt:2: video id '{U1}' is a UUID, the id on line 1 is decimal"),
        (f"a\t{U1}\t1\nb\t2\t1\n", "r.txt:2: video id '2' is decimal, the id on line 1 is a UUID"),
        ("a\t1\tmany\n", "r.txt:1: count 'many' is not a whole number in 0..4294967295"),
        ("a\t1\t4294967296\n", "r.txt:1: count '4294967296' is not a whole number in 0..4294967295"),
        ("a\t1\t1.5\n", "r.txt:1: count '1.5' is not a whole number in 0..4294967295"),
        ('a,1,1\n"open,1,1\n', "r.txt:2: unexpected end of data"),
        # Only the first line can be a header.
        ("a\t1\t1\nterm\tvideo\tcount\n", "r.txt:2: video id 'video' is neither a decimal number nor a UUID"),
    ],
    ids=[
        "short-row", "long-row", "empty-term", "nul", "not-utf8", "bad-id-after-multiline", "negative-id",
        "id-range", "uuid-after-int", "int-after-uuid", "bad-count", "count-range", "fraction", "open-quote",
        "late-header",
    ],
)
def test_bad_rows_name_their_line(text, message):
    with pytest.raises(RecordFileError) as raised:
        read(text)
    assert str(raised.value) == message
