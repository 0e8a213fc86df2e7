# Queries to numpy and pandas with dtypes following the column types, and uploads of DataFrames.
import socket
import threading

import numpy as np
import pandas as pd
import pytest

import tyx_client
from conftest import DEADLINE

# Every column type the sandbox database stores: (declared type, SQL literal, numpy dtype,
# pandas dtype, value read back).
COLUMN_TYPES = [
    ("Boolean", "1", "bool", "bool", True),
    ("Byte", "-2", "int8", "int8", -2),
    ("Short", "-3", "int16", "int16", -3),
    ("Character", "65", "uint16", "uint16", 65),
    ("Integer", "-7", "int32", "int32", -7),
    ("Long", "8000000000", "int64", "int64", 8000000000),
    ("Float", "1.5", "float32", "float32", 1.5),
    ("Double", "2.25", "float64", "float64", 2.25),
    ("String", "'txt'", "object", "object", "txt"),
    ("Bytes", "X'0102'", "object", "object", b"\x01\x02"),
    ("Date", "1700000000000", "int64", "int64", 1700000000000),
    ("DateNanos", "1700000000123456789", "datetime64[ns]", "datetime64[ns]",
     np.datetime64(1700000000123456789, "ns")),
    ("DateMillis", "1700000000123", "datetime64[ms]", "datetime64[ns]", np.datetime64(1700000000123, "ms")),
    ("DatePart", "5", "int32", "int32", 5),
    ("Complex", "'3,4'", "complex128", "complex128", 3 + 4j),
    ("UUID", "'01234567-89ab-cdef-fedc-ba9876543210'", "object", "object", "01234567-89ab-cdef-fedc-ba9876543210"),
    ("BigDecimal", "'123.45'", "object", "object", "123.45"),
    ("BigInteger", "X'0100'", "object", "object", b"\x01\x00"),
]


def test_sql_results_have_dtypes_that_follow_every_column_type(client):
    columns = ", ".join("c%d %s" % (i, t[0]) for i, t in enumerate(COLUMN_TYPES))
    client.sql("sb", "CREATE PUBLIC TABLE alltypes (%s) USE InitialCapacity=1" % columns)
    inserted = client.sql("sb", "INSERT INTO alltypes VALUES (%s)" % ", ".join(t[1] for t in COLUMN_TYPES))
    assert inserted.affected_rows() == 1, inserted.error_message()

    result = client.sql("sb", "SELECT * FROM alltypes")
    arrays = result.to_numpy()
    frame = result.to_pandas()
    for i, (declared, _, numpy_dtype, pandas_dtype, value) in enumerate(COLUMN_TYPES):
        name = "c%d" % i
        assert arrays[name].dtype == np.dtype(numpy_dtype), declared
        assert frame[name].dtype == np.dtype(pandas_dtype), declared
        assert arrays[name][0] == value, declared
    assert result.cursor_advance() and result.row()["c1"] == -2 and result.row()["c0"] is True


def test_a_dataframe_uploaded_with_sql_replace_reads_back_equal(client):
    frame = pd.DataFrame({
        "sym": ["AAA", "BBB", "CCC"],
        "px": np.array([10.5, 20.25, 30.125]),
        "qty": np.array([1, -2, 3], dtype=np.int32),
        "big": np.array([2**40, -1, 0], dtype=np.int64),
        "ratio": np.array([0.5, 0.25, 1.0], dtype=np.float32),
        "ok": [True, False, True],
        "small": np.array([-300, 0, 300], dtype=np.int16),
        "tiny": np.array([-128, 0, 127], dtype=np.int8),
        "letter": np.array([65, 66, 67], dtype=np.uint16),
        "raw": [b"\x00a", b"b\x00", b"zz"],
        "when": pd.to_datetime(["2024-01-02 03:04:05.123456789", "1970-01-01", "2030-12-31"]),
        "z": np.array([1 + 2j, -3 + 0j, 0 - 4j]),
    })
    client.sql_replace("sb", frame, table_name="prices")
    back = client.sql("sb", "SELECT * FROM prices ORDER BY sym").to_pandas()
    # uint16 travels as Integer, which holds every value.
    pd.testing.assert_frame_equal(back, frame.astype({"letter": "int32"}))

    # A second replace empties the existing table first; a dict of arrays works the same way.
    smaller = {"sym": np.array(["ZZZ"]), "px": np.array([1.0]), "qty": np.array([9], dtype=np.int32),
               "big": np.array([7]), "ratio": np.array([2.0], dtype=np.float32), "ok": np.array([False]),
               "small": np.array([1], dtype=np.int16), "tiny": np.array([1], dtype=np.int8),
               "letter": np.array([90], dtype=np.uint16), "raw": [b"r"],
               "when": np.array(["2001-02-03"], dtype="datetime64[ns]"), "z": np.array([5j])}
    client.sql_replace("sb", smaller, table_name="prices")
    again = client.sql("sb", "SELECT * FROM prices").to_numpy()
    assert list(again) == list(smaller)
    for name, values in smaller.items():
        np.testing.assert_array_equal(again[name], np.asarray(values), err_msg=name)


def test_sql_async_and_insert_async_call_python_back(client):
    table = tyx_client.Table("events").add_column("n", np.arange(5, dtype=np.int64))
    client.sql_replace("sb", table)
    done = threading.Event()
    client.sql_insert_async("sb", {"n": np.array([5, 6], dtype=np.int64)}, on_done=done.set, table_name="events")
    assert done.wait(DEADLINE)

    results = []
    arrived = threading.Event()

    def on_result(result):
        results.append(result)
        arrived.set()

    client.sql_async("sb", "SELECT n FROM events ORDER BY n", on_result)
    assert arrived.wait(DEADLINE)
    # The result outlives the callback it was handed to.
    np.testing.assert_array_equal(results[0].to_numpy()["n"], np.arange(7))
    assert results[0].column_types() == [16]


def test_a_failed_query_raises_nothing_and_its_result_says_why():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]  # nothing listens there once the socket is closed
    cluster = tyx_client.Cluster("gone", "127.0.0.1")
    cluster.database_config = tyx_client.DatabaseConfig(str(port), False, "", "", 500)
    with tyx_client.TyxClient() as client:
        client.add_cluster(cluster)
        result = client.sql("gone", "SELECT 1")
        assert result.row_count() == 0
        assert result.error_message().startswith(
            "[shard 0] Failed to execute SQL query: JDBC request timed out after 500 ms"), result.error_message()
        said = []
        arrived = threading.Event()
        client.sql_async("gone", "SELECT 1", lambda r: (said.append(r.error_message()), arrived.set()))
        assert arrived.wait(DEADLINE) and said[0].startswith("[shard 0] Failed to execute SQL query: ")


NAN = float("nan")


def nullable(values, dtype):
    return pd.array(values, dtype=dtype)


def masked(values, dtype, mask=(False, True, False)):
    return np.ma.masked_array(np.array(values, dtype=dtype), mask=list(mask))


# Every pandas dtype an upload takes, a NULL in each column: what goes up, and what comes back
# (the dtype its database type reads as, pd.NA in nullable integers and booleans, NaN, NaT, None).
PANDAS_SENT = {
    "b": nullable([True, None, False], "boolean"),
    "i8": nullable([-128, None, 127], "Int8"),
    "u8": nullable([255, 0, None], "UInt8"),
    "i16": nullable([None, -32768, 32767], "Int16"),
    "u16": nullable([65535, None, 0], "UInt16"),
    "i32": nullable([-2**31, None, 2**31 - 1], "Int32"),
    "u32": nullable([2**32 - 1, 0, None], "UInt32"),
    "i64": nullable([None, -2**63, 2**63 - 1], "Int64"),
    "u64": nullable([2**63 - 1, None, 0], "UInt64"),
    "f32": nullable([1.5, None, -0.25], "Float32"),
    "f64": nullable([None, 1e300, -2.5], "Float64"),
    "nf32": np.array([NAN, 0.5, np.inf], dtype=np.float32),  # a NaN is a value
    "nf64": np.array([1.0, NAN, -np.inf]),
    "c128": np.array([1 + 2j, complex(NAN, NAN), -3j]),
    "ns": pd.to_datetime(["2024-01-02 03:04:05.123456789", None, "1970-01-01"]),
    "str": nullable(["a", None, ""], "string"),
    "obj": ["x", None, NAN],
    "objna": [pd.NA, "é", "z"],
    "raw": [b"\x00", pd.NA, b""],
}
PANDAS_BACK = {
    "b": nullable([True, None, False], "boolean"),
    "i8": nullable([-128, None, 127], "Int8"),
    "u8": nullable([255, 0, None], "Int16"),
    "i16": nullable([None, -32768, 32767], "Int16"),
    "u16": nullable([65535, None, 0], "Int32"),
    "i32": nullable([-2**31, None, 2**31 - 1], "Int32"),
    "u32": nullable([2**32 - 1, 0, None], "Int64"),
    "i64": nullable([None, -2**63, 2**63 - 1], "Int64"),
    "u64": nullable([2**63 - 1, None, 0], "Int64"),
    "f32": np.array([1.5, NAN, -0.25], dtype=np.float32),
    "f64": np.array([NAN, 1e300, -2.5]),
    "nf32": np.array([NAN, 0.5, np.inf], dtype=np.float32),
    "nf64": np.array([1.0, NAN, -np.inf]),
    "c128": np.array([1 + 2j, complex(NAN, NAN), -3j]),
    "ns": pd.to_datetime(["2024-01-02 03:04:05.123456789", None, "1970-01-01"]),
    "str": np.array(["a", None, ""], dtype=object),
    "obj": np.array(["x", None, None], dtype=object),
    "objna": np.array([None, "é", "z"], dtype=object),
    "raw": np.array([b"\x00", None, b""], dtype=object),
}


def test_nulls_of_every_pandas_dtype_survive_replace_insert_and_query(client):
    client.sql_replace("sb", pd.DataFrame(PANDAS_SENT), table_name="nulls")
    back = client.sql("sb", "SELECT * FROM nulls").to_pandas()
    expected = pd.DataFrame(PANDAS_BACK)
    pd.testing.assert_frame_equal(back, expected)

    client.sql_insert("sb", pd.DataFrame(PANDAS_SENT), table_name="nulls")
    twice = client.sql("sb", "SELECT * FROM nulls").to_pandas()
    pd.testing.assert_frame_equal(twice, pd.concat([expected, expected], ignore_index=True))


def test_masked_numpy_columns_of_every_dtype_upload_their_masked_cells_as_null(client):
    sent = {
        "flag": masked([True, True, False], bool),
        "i8": masked([-1, 5, 127], np.int8),
        "u8": masked([255, 5, 0], np.uint8),
        "i16": masked([-300, 5, 300], np.int16),
        "u16": masked([65535, 5, 1], np.uint16),
        "i32": masked([-7, 5, 7], np.int32),
        "u32": masked([4294967295, 5, 1], np.uint32),
        "i64": masked([-2**63, 5, 2**63 - 1], np.int64),
        "u64": masked([2**63 - 1, 2**64 - 1, 0], np.uint64),  # a masked value is never checked
        "f16": masked([0.5, 1, -2], np.float16),
        "f32": masked([0.25, 1, NAN], np.float32),
        "f64": masked([1e-300, 1, 2], np.float64),
        "c64": masked([1 + 1j, 1, -2j], np.complex64),
        "c128": masked([3 - 4j, 1, 0], np.complex128),
        "ns": masked(["2020-01-01T00:00:00.000000001", "2020-01-02", "NaT"], "datetime64[ns]",
                     (True, False, False)),
        "us": masked(["2020-01-01T00:00:00.000001", "2020-01-02", "2020-01-03"], "datetime64[us]"),
        "ms": masked(["2020-01-01T00:00:00.001", "2020-01-02", "2020-01-03"], "datetime64[ms]"),
        "sec": masked(["2020-01-01T00:00:01", "2020-01-02", "2020-01-03"], "datetime64[s]"),
        "txt": masked(["a", "bb", "c"], "U2"),
        "byt": masked([b"a", b"bb", b"c"], "S2"),
        "obj": masked(["x", "y", "z"], object),
    }
    client.sql_replace("sb", sent, table_name="masked")
    result = client.sql("sb", "SELECT * FROM masked")
    back = result.to_pandas()

    def expect(values, dtype):
        return nullable([None if i == 1 else v for i, v in enumerate(values)], dtype)

    null_at_1 = np.array([False, True, False])
    expected = pd.DataFrame({
        "flag": expect([True, True, False], "boolean"),
        "i8": expect([-1, 5, 127], "Int8"),
        "u8": expect([255, 5, 0], "Int16"),
        "i16": expect([-300, 5, 300], "Int16"),
        "u16": expect([65535, 5, 1], "Int32"),
        "i32": expect([-7, 5, 7], "Int32"),
        "u32": expect([4294967295, 5, 1], "Int64"),
        "i64": expect([-2**63, 5, 2**63 - 1], "Int64"),
        "u64": expect([2**63 - 1, 5, 0], "Int64"),
        "f16": np.array([0.5, NAN, -2], dtype=np.float32),
        "f32": np.array([0.25, NAN, NAN], dtype=np.float32),
        "f64": np.array([1e-300, NAN, 2]),
        "c64": np.array([1 + 1j, complex(NAN, NAN), -2j]),
        "c128": np.array([3 - 4j, complex(NAN, NAN), 0]),
        "ns": np.array(["NaT", "2020-01-02", "NaT"], dtype="datetime64[ns]"),
        "us": np.array(["2020-01-01T00:00:00.000001", "NaT", "2020-01-03"], dtype="datetime64[ns]"),
        "ms": np.array(["2020-01-01T00:00:00.001", "NaT", "2020-01-03"], dtype="datetime64[ms]"),
        "sec": np.array(["2020-01-01T00:00:01", "NaT", "2020-01-03"], dtype="datetime64[ms]"),
        "txt": np.array(["a", None, "c"], dtype=object),
        "byt": np.array([b"a", None, b"c"], dtype=object),
        "obj": np.array(["x", None, "z"], dtype=object),
    })
    pd.testing.assert_frame_equal(back, expected)
    assert [result.is_null(2, row) for row in range(3)] == list(null_at_1)

    # numpy has no nullable integers: to_numpy gives their NULL as None in an object array.
    arrays = result.to_numpy()
    assert arrays["i32"].dtype == object and list(arrays["i32"]) == [-7, None, 7]
    assert arrays["flag"].dtype == object and list(arrays["flag"]) == [True, None, False]
    assert arrays["f64"].dtype == np.float64 and np.isnan(arrays["f64"][1])
    assert result.columns()[1].dtype == object
    assert list(result)[1][:3] == (None, None, None)


def test_unsigned_columns_widen_and_a_uint64_beyond_a_long_is_refused(client):
    top = {"u8": np.array([255], dtype=np.uint8), "u16": np.array([65535], dtype=np.uint16),
           "u32": np.array([4294967295], dtype=np.uint32), "u64": np.array([2**63 - 1], dtype=np.uint64)}
    client.sql_replace("sb", top, table_name="unsigned")
    result = client.sql("sb", "SELECT * FROM unsigned")
    assert result.column_types() == [12, 14, 16, 16]
    assert list(result) == [(255, 65535, 4294967295, 2**63 - 1)]

    big = {"ok": np.array([1, 2], dtype=np.int8), "u64": np.array([1, 2**63], dtype=np.uint64)}
    with pytest.raises(OverflowError, match=r"column 'u64', row 1: 9223372036854775808 does not fit a Long"):
        client.sql_insert("sb", big, table_name="unsigned")
    with pytest.raises(TypeError, match=r"column 'mixed': an object column must hold only str or only bytes"):
        client.sql_insert("sb", {"mixed": ["a", None, 3]}, table_name="unsigned")


def test_a_result_iterates_its_rows_and_prints(client, capsys):
    client.sql_replace("sb", {"sym": ["a", None], "n": pd.array([1, None], dtype="Int64")}, table_name="rows")
    result = client.sql("sb", "SELECT sym, n FROM rows")
    result.cursor_advance()
    assert len(result) == 2
    assert list(result) == [("a", 1), (None, None)]  # from the first row, whatever the cursor
    assert result.cursor_position() == 0
    assert [row for row in result] == list(result)
    kept = []
    arrived = threading.Event()
    client.sql_async("sb", "SELECT sym, n FROM rows", lambda r: (kept.append(r), arrived.set()))
    assert arrived.wait(DEADLINE) and list(kept[0]) == [("a", 1), (None, None)]  # a kept copy too

    text = result.to_string()
    assert str(result) == text
    assert "| 1 | NULL | NULL |" in text
    assert result.print() is None
    assert capsys.readouterr().out == text
    table = tyx_client.Table("t").add_column("v", np.arange(3, dtype=np.int32))
    assert len(table) == 3 and list(table) == [(0,), (1,), (2,)]


def test_names_a_server_sends_that_are_not_utf8_read_as_surrogate_escapes(client, sandbox, recorder):
    # Reading such a name must not raise: it reads as a value's text does, and encodes back to the bytes.
    result = client.sql("sb", b'SELECT 1 AS "caf\xe9"')
    assert result.error_message() == ""
    assert result.column_names() == ["caf\udce9"] == list(result.to_pandas().columns)
    assert result.column_names()[0].encode("utf-8", "surrogateescape") == b"caf\xe9"

    client.publish_object("sb", "Latin", "l-1", {"caf\udce9": 1.5})
    assert sandbox.wait_until_stored(DEADLINE)
    client.subscribe("sb", "Latin")
    assert recorder.wait_update(lambda u: u.table_name == "Latin").row == {"caf\udce9": 1.5}
    column = client.get_table_schema("sb", "Latin").columns[0]
    assert column.name == "caf\udce9" and "caf" in repr(column)
