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
    pd.testing.assert_frame_equal(back, frame)

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
