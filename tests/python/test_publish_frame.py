# Publishing a DataFrame or a dict of arrays row by row, and removing objects by identifier.
import numpy as np
import pandas as pd
import pytest

from conftest import DEADLINE

# Database type codes of what the sandbox store declares for each wire form.
INTEGER, FLOAT, LONG, DOUBLE, STRING = 14, 15, 16, 17, 20


def published(sandbox, n):
    assert sandbox.wait_for_objects(n, DEADLINE)
    return sandbox.relay_publications()


def expected_lines(client, object_type, frame, id_column):
    """What publish_object sends for each row, with each cell as its own numpy or Python scalar."""
    fields = [c for c in frame if c != id_column]
    return [client.serialize_object(object_type, str(frame[id_column][i]),
                                    {c: frame[c][i] for c in fields}).rstrip("\n")
            for i in range(len(frame[id_column]))]


def test_every_supported_dtype_travels_as_publish_object_sends_its_scalars(client, sandbox):
    frame = pd.DataFrame({
        "id": ["a-1", "a-2", "a-3"],
        "i8": np.array([-3, 4, 0], dtype=np.int8),
        "i16": np.array([-300, 2, 0], dtype=np.int16),
        "i32": np.array([-5, 2**31 - 1, 0], dtype=np.int32),
        "i64": np.array([2**40, -1, 0], dtype=np.int64),
        "u8": np.array([200, 1, 0], dtype=np.uint8),
        "u16": np.array([65535, 1, 0], dtype=np.uint16),
        "u32": np.array([4000000, 1, 0], dtype=np.uint32),
        "u64": np.array([2**40, 1, 0], dtype=np.uint64),
        "f16": np.array([0.5, -1.5, 0], dtype=np.float16),
        "f32": np.array([0.1, 2.5, 0], dtype=np.float32),
        "f64": np.array([0.25, -1e21, 0], dtype=np.float64),
        "ok": [True, False, True],
        "text": ["x|y", "caf\u00e9 |q|\t", ""],
        "raw": [b"ab", b"cd", b"e"],
        "mixed": [np.int32(7), 1.5, "s"],  # an object column: each cell by its own type
    })
    assert client.publish_frame("sb", "Frames", frame, "id") == 3
    lines = published(sandbox, 3)
    assert lines == expected_lines(client, "Frames", frame, "id")
    assert lines[0].startswith('O|T="Frames"|I="a-1"|i8=-3|i16=-300|i32=-5|i64=1099511627776L|u8=200|')

    assert sandbox.wait_until_stored(DEADLINE)
    result = client.sql("sb", "SELECT * FROM Frames ORDER BY id")
    assert result.column_names()[0] == "id" and result.column_names()[1:] == list(frame.columns[1:])
    assert result.column_types()[1:] == [INTEGER, INTEGER, INTEGER, LONG, INTEGER, INTEGER, INTEGER, LONG,
                                         FLOAT, FLOAT, DOUBLE, INTEGER, STRING, STRING, INTEGER]
    back = result.to_pandas()
    for name in ["i8", "i16", "i32", "i64", "u8", "u16", "u32", "u64", "f32", "f64"]:
        np.testing.assert_array_equal(back[name].to_numpy(), frame[name].to_numpy(), err_msg=name)
    np.testing.assert_array_equal(back["f16"].to_numpy(), frame["f16"].to_numpy().astype(np.float32))
    assert back["ok"].tolist() == [1, 0, 1]
    assert back["text"].tolist() == frame["text"].tolist()
    assert back["raw"].tolist() == ["ab", "cd", "e"]


def test_missing_values_become_empty_fields(client, sandbox):
    frame = pd.DataFrame({
        "id": ["n-1", "n-2", "n-3", "n-4", "n-5"],
        "obj": [None, np.nan, pd.NA, pd.NaT, "v"],
        "nullable": pd.array([1, None, 3, None, 5], dtype="Int32"),
        "flag": pd.array([True, None, False, True, None], dtype="boolean"),
        "label": pd.array(["a", None, "c", "d", None], dtype="string"),
        "px": [1.5, 2.0, 2.5, 3.5, 4.5],
    })
    # The values vector is reused from row to row: an empty cell must not keep the previous text.
    assert client.publish_frame("sb", "Gaps", frame, "id") == 5
    lines = published(sandbox, 5)
    assert lines[0] == 'O|T="Gaps"|I="n-1"|obj=|nullable=1|flag=1|label="a"|px=1.5D'
    assert lines[1] == 'O|T="Gaps"|I="n-2"|obj=|nullable=|flag=|label=|px=2D'
    assert lines[4] == 'O|T="Gaps"|I="n-5"|obj="v"|nullable=5|flag=|label=|px=4.5D'

    assert sandbox.wait_until_stored(DEADLINE)
    nulls = client.sql("sb", "SELECT id FROM Gaps WHERE obj IS NULL ORDER BY id").to_numpy()["id"]
    assert nulls.tolist() == ["n-1", "n-2", "n-3", "n-4"]
    nulls = client.sql("sb", "SELECT id FROM Gaps WHERE nullable IS NULL AND label IS NULL").to_numpy()["id"]
    assert nulls.tolist() == ["n-2"]


# (columns, exception, message, also as a DataFrame); the column it cannot publish comes last, after
# good ones, so that a late check would show as rows sent.
REFUSED = [
    ({"id": ["a"], "n": [1], "z": np.array([1 + 2j])}, TypeError,
     r"column 'z': cannot publish a column of dtype 'complex128'", True),
    ({"id": ["a"], "n": [1], "t": np.array(["2024-01-01"], dtype="datetime64[ns]")}, TypeError,
     r"column 't'.*datetime64", True),
    ({"id": ["a"], "n": [1], "d": np.array([5], dtype="timedelta64[s]")}, TypeError, r"column 'd'.*timedelta64", True),
    ({"id": ["a", "b"], "n": [1, 2], "l": [1, [2, 3]]}, TypeError, r"column 'l', row 1: .*'list'", True),
    ({"id": ["a", "b"], "n": [1, 2], "m": [{"k": 1}, "x"]}, TypeError, r"column 'm', row 0: .*'dict'", True),
    ({"id": ["a", "b"], "w": pd.to_datetime(["2024-01-01", "2024-01-02"]).tz_localize("UTC")}, TypeError,
     r"column 'w'", True),
    ({"id": ["a", None]}, TypeError, r"id column 'id', row 1: .*'NoneType'", True),
    ({"id": [1.5]}, TypeError, r"id column 'id'.*float64", True),
    ({"key": ["a"]}, KeyError, r"id column 'id' is not a column", True),
    ({"id": ["a", "b"], "x": np.arange(3)}, ValueError, r"column 'x' has 3 rows, column 'id' 2", False),
    ({"id": ["a"], "x": np.zeros((1, 2))}, TypeError, r"column 'x': values must be one-dimensional", False),
    ({"id": ["a"], "s": [1.5]}, TypeError, r"seqnum column 's' must hold integers", True),
    # What publish_object would refuse: the relay text cannot carry it.
    ({"id": ["a", 'b"c'], "x": [1, 2]}, ValueError, r"id column 'id', row 1 holds a double quote", True),
    ({"id": ["a", "b"], "t": ["x|y", "x\ny"]}, ValueError, r"column 't', row 1 holds a line feed", True),
    ({"id": ["a"], "t": ['say "hi"']}, ValueError, r"column 't', row 0 holds a double quote", True),
    ({"id": ["a"], "b": np.array([b"\n"], dtype="S1")}, ValueError, r"column 'b', row 0 holds a line feed", False),
    ({"id": ["a"], "b": [b'"x\n']}, ValueError, r"column 'b', row 0 holds a line feed", False),
    ({"id": ["a"], "bad\nname": [1]}, ValueError, r"column name 'bad\nname' holds a line feed", True),
    ({"id": ["a"], "x|limit": [5]}, ValueError, r"column name 'x\|limit' holds a \|", True),
    ({"id": ["a"], "I": [5]}, ValueError, r"column name 'I' is reserved", True),
    ({"id": ["a"], "b": [b'"hello"']}, ValueError, r"column 'b', row 0 begins with a double quote", False),
    ({"id": ["a"], "b": np.array([b"x|k"], dtype="S3")}, ValueError, r"column 'b', row 0 holds a \|", False),
    # The relay reads no number back from a NaN or an infinity.
    ({"id": ["a", "b"], "px": [1.5, np.nan]}, ValueError, r"column 'px', row 1 is not a finite number", True),
    ({"id": ["a"], "px": np.array([np.inf], dtype="float32")}, ValueError, r"column 'px', row 0 is not a finite", False),
]


def test_a_frame_with_a_column_it_cannot_publish_is_refused_before_anything_is_sent(client, sandbox):
    for columns, error, message, as_frame in REFUSED:
        for frame in [columns, pd.DataFrame(columns)] if as_frame else [columns]:
            with pytest.raises(error, match=message):
                client.publish_frame("sb", "Refused", frame, "id", seqnum_column="s" if "s" in columns else None)
    with pytest.raises(TypeError, match=r"expects a pandas DataFrame or a dict"):
        client.publish_frame("sb", "Refused", [("a", 1)], "id")
    with pytest.raises(ValueError, match=r"object type 'Re\"fused' holds a double quote"):
        client.publish_frame("sb", 'Re"fused', {"id": ["a"]}, "id")
    with pytest.raises(ValueError, match=r"id column 'ids', row 1 holds a line feed"):
        client.remove_frame("sb", "Refused", ["a", "b\n"])
    client.publish_object("sb", "Marker", "m-1")
    assert published(sandbox, 1) == ['O|T="Marker"|I="m-1"']


def test_a_dict_of_arrays_publishes_the_same_and_remove_frame_removes_what_it_names(client, sandbox):
    columns = {
        "qty": np.arange(10, dtype=">i4")[::2],  # strided and big-endian
        "key": np.array([10, 11, 12, 2**63 + 1, 14], dtype=np.uint64),
        "seq": np.array([5, 6, 0, 8, 9]),
        "px": [1.5, 2.5, 3.5, 4.5, 5.5],
        "sym": np.array(["AAA", "B", "CC", "D", "\u00e9"]),
        "tag": np.array([b"x\x00", b"yy", b"", b"z", b"w"], dtype="S2"),
        "exp": np.array([0, 1700000000000, 0, 0, 5], dtype=np.int64),
        "size": np.ma.masked_array(np.array([1, 2, 3, 4, 5], dtype=np.int16), mask=[0, 1, 0, 0, 0]),
    }
    assert client.publish_frame("sb", "Dict", columns, "key", seqnum_column="seq", expires_column="exp") == 5
    lines = published(sandbox, 5)
    scalars = {k: list(np.asarray(v)) for k, v in columns.items()}  # numpy scalars, as their dtypes
    scalars["size"][1] = None
    assert lines == [
        client.serialize_object("Dict", str(scalars["key"][i]),
                                {k: scalars[k][i] for k in ["qty", "px", "sym", "tag", "size"]},
                                seqnum=int(scalars["seq"][i]), expires_on_ms=int(scalars["exp"][i])).rstrip("\n")
        for i in range(5)]
    assert lines[1] == 'O#6|T="Dict"|I="11"|E=1700000000000L|qty=2|px=2.5D|sym="B"|tag=yy|size='
    assert lines[3].startswith('O#8|T="Dict"|I="9223372036854775809"|')

    # Identifiers as a pandas Series of str and as a numpy array of integers; the marker after
    # them shows they have all been read.
    assert client.remove_frame("sb", "Dict", pd.Series(["10", "12"])) == 2
    assert client.remove_frame("sb", "Dict", np.array([2**63 + 1], dtype=np.uint64)) == 1
    assert client.remove_frame("sb", "Dict", []) == 0
    with pytest.raises(TypeError, match=r"id column 'ids', row 0: .*'bytes'"):
        client.remove_frame("sb", "Dict", [b"11"])
    client.publish_object("sb", "Marker", "m-1")
    lines = published(sandbox, 6)
    assert lines[5:] == ['D|I="10"|T="Dict"', 'D|I="12"|T="Dict"', 'D|I="9223372036854775809"|T="Dict"',
                         'O|T="Marker"|I="m-1"']
    assert sandbox.wait_until_stored(DEADLINE)
    left = client.sql("sb", "SELECT id FROM Dict ORDER BY id").to_numpy()["id"]
    assert left.tolist() == ["11", "14"]
