// The tyx_client Python module: configuration records, TyxClient, listeners, tables and the
// sandbox. The module documentation below is the reference for the value mappings.
#include "bindings.hpp"

namespace {

const char* const kModuleDoc = R"doc(Python access to the tyx client library.

A TyxClient connects to named clusters (Cluster, PublicationConfig, SubscriptionConfig,
DatabaseConfig), publishes objects to the relays, subscribes to center tables (events arrive in a
Listener subclass) and runs SQL on the database shards (results as TableAccessor objects that
convert to numpy arrays and pandas DataFrames). Sandbox runs all three kinds of server on
loopback for trying code out.

Published field values (publish_object, serialize_object), Python -> wire:
    None                         empty value            flag=
    bool                         unsigned 8-bit, 0/1    flag=1
    int                          signed 64-bit          qty=5L   (2**63 .. 2**64-1: unsigned 64-bit,
                                                                  also with L; beyond: OverflowError)
    float                        64-bit float           px=1.5D
    str                          string                 venue="XNYS"  (UTF-8, nothing escaped)
    bytes, bytearray, memoryview bytes, unquoted        raw=abc
    numpy.int8/16/32             signed, same width     n=5      (no suffix)
    numpy.uint8/16/32            unsigned, same width   n=5      (no suffix)
    numpy.int64, numpy.uint64    64-bit                 n=5L
    numpy.float16, numpy.float32 32-bit float           x=0.5F
    numpy.float64                64-bit float           x=0.5D
    numpy.bool_                  unsigned 8-bit, 0/1    flag=1
  Any other type (lists, dicts, numpy datetimes, complex, long double ...) raises TypeError.
  Python ints are always written as 64-bit so that a field keeps one type whatever its value;
  publish numpy.int32 for an unsuffixed integer.

Update values (Listener.on_update, update.row): integers -> int, floats -> float, strings -> str,
bytes -> bytes, a char -> a one-character str, an empty value -> None.

Query results (TableAccessor.to_numpy, to_pandas, columns), by the column's database type:
    Boolean -> bool          Byte -> int8            Short -> int16      Character -> uint16
    Integer, DatePart -> int32                       Long, Date -> int64
    DateNanos -> datetime64[ns]                      DateMillis -> datetime64[ms]
    Float -> float32         Double -> float64       Complex -> complex128
    String, UUID, BigDecimal -> object (str)         Bytes, BigInteger -> object (bytes)
  Date and DatePart carry no unit, so they stay integers. (pandas before 2.0 holds every
  datetime column as datetime64[ns].) Texts that are not UTF-8 decode with surrogate escapes.
  NULL cells: NaN in Float, Double and Complex columns (nan+nanj), NaT in DateNanos and
  DateMillis columns, None in text and bytes columns. An integer or Boolean column with a NULL
  becomes, in to_pandas, the pandas nullable dtype of its type (Int8, Int16, UInt16, Int32,
  Int64, boolean) holding pd.NA, and in to_numpy and columns an object array of int or bool
  holding None; a column without NULL keeps the dtype above. row() and iteration give None.

Uploads (Table.add_column, Table.from_pandas, Table.from_dict, and DataFrames or dicts of arrays
given to sql_insert and sql_replace with table_name=...), numpy or pandas dtype -> database type:
    bool, boolean -> Boolean                int8, Int8 -> Byte
    uint8, UInt8, int16, Int16 -> Short     uint16, UInt16, int32, Int32 -> Integer
    uint32, UInt32, int64, Int64, uint64, UInt64 -> Long
    float16, float32, Float32 -> Float      float64, Float64 -> Double
    complex -> Complex                      str, string, object of str -> String
    bytes (or object of bytes) -> Bytes
    datetime64[ns] and finer -> DateNanos   datetime64[ms] and coarser -> DateMillis
  Unsigned integers widen to a type that holds every value; a uint64 value above 2**63 - 1
  raises OverflowError naming the column and row. NULL cells: pd.NA in the nullable dtypes,
  None, NaN, pd.NA or pd.NaT in object and string columns, NaT in datetime columns, a complex
  with a NaN part (its parts travel as integers, truncated toward zero) and the masked cells of
  a numpy masked array. A NaN in a float column is a value and comes back as NaN. An object
  column must otherwise hold only str or only bytes (one of only missing values is a String
  column); other dtypes raise TypeError. After the round trip sql_replace -> sql -> to_pandas a
  column comes back with the dtype its database type reads as (above): uint8 as int16, Int64
  with a NULL as Int64, Float64 as float64 with NaN, string as object with None.

Callbacks: Listener events, sql_async callbacks and the on_done callbacks of the *_async methods
(add_cluster_async, remove_cluster_async, subscribe_async, unsubscribe_async,
get_table_schema_async, flush_async, sql_insert_async, sql_replace_async) run on the library's
notification thread, one at a time, in event order, each of the latter exactly once, also when
its operation fails or the client is closed first; a distribution function runs on the
publishing thread. All of them hold the GIL while they run. An exception raised in one is
printed with its traceback to sys.stderr; from a listener event or a completion callback it is
also reported to every listener of the client as a level-3 on_log event. It never ends the
process.

Blocking calls (sql, flush, subscribe with wait=True, LiveTable.wait_for, ...) wait with the GIL
released and run Python's signal handlers at least every 100 ms: Ctrl-C raises
KeyboardInterrupt, the abandoned operation completes inside the library and the client stays
usable. TyxClient.close() from another thread makes every waiting call of that client raise
RuntimeError at once. publish_object, remove_object and publish_frame raise ValueError, before
anything is sent, for what the relay could not read back as written.
)doc";

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = kModuleDoc;
    m.attr("__version__") = TYX_CLIENT_VERSION;
    tyx::python::bind_config(m);
    tyx::python::bind_client(m);
    tyx::python::bind_frame_publish(m);
    tyx::python::bind_live_table(m);
    tyx::python::bind_aio(m);
    tyx::python::bind_sandbox(m);
    // Clients and sandboxes still open when the interpreter exits are closed while Python code
    // can still run: their threads deliver the last events with the GIL.
    m.def(
        "_close_all",
        [] {
            tyx::python::close_all_clients();
            tyx::python::stop_all_sandboxes();
        },
        "Closes every open TyxClient and stops every running Sandbox; registered with atexit.");
    pybind11::module_::import("atexit").attr("register")(m.attr("_close_all"));
}
