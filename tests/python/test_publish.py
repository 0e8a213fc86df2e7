# Publishing from Python: dicts and numpy scalars to wire fields, updates back in a listener.
import numpy as np
import pytest

import tyx_client
from conftest import DEADLINE


def test_a_published_dict_comes_back_as_an_update_in_a_python_listener(client, recorder):
    client.subscribe("sb", "Orders")
    client.publish_object("sb", "Orders", "o-1",
                          {"qty": np.int32(7), "px": 101.25, "venue": "XNYS", "lots": 3, "note": None})
    update = recorder.wait_update(lambda u: u.object_id == "o-1")
    assert (update.table_name, update.action) == ("Orders", tyx_client.Update.ADDED)
    assert update.row == {"qty": 7, "px": 101.25, "venue": "XNYS", "lots": 3, "note": None}
    assert update.field_names == list(update.row)
    assert [type(v) for v in update.row_data] == [int, float, str, int, type(None)]

    # Names with values, and a change of the same object.
    client.publish_object("sb", "Orders", "o-1", ["qty", "venue"], [np.int32(8), "XLON"])
    changed = recorder.wait_update(lambda u: u.object_id == "o-1" and u.action == tyx_client.Update.UPDATED)
    assert changed.row["qty"] == 8 and changed.row["venue"] == "XLON"


# (value, text after "=") for each Python and numpy type; numpy scalars keep their width.
WIRE_FORMS = [
    (np.int8(-3), "-3"),
    (np.uint8(200), "200"),
    (np.int16(-300), "-300"),
    (np.uint16(65535), "65535"),
    (np.int32(-5), "-5"),
    (np.uint32(4000000000), "4000000000"),
    (np.int64(-5), "-5L"),
    (np.uint64(2**64 - 1), "18446744073709551615L"),
    (np.float32(0.1), "0.1F"),
    (np.float64(0.1), "0.1D"),
    (np.bool_(True), "1"),
    (5, "5L"),
    (2**63, "9223372036854775808L"),
    (1e21, "1e+21D"),
    (False, "0"),
    ("a|b\tc\r", '"a|b\tc\r"'),
    (b"raw", "raw"),
    (bytearray(b"xy"), "xy"),
    (None, ""),
]


@pytest.mark.parametrize("value,text", WIRE_FORMS, ids=[repr(v) for v, _ in WIRE_FORMS])
def test_each_value_type_has_its_wire_form(value, text):
    with tyx_client.TyxClient() as c:
        assert c.serialize_object("T", "i", {"f": value}) == 'O|T="T"|I="i"|f=' + text + "\n"


@pytest.mark.parametrize("call, message", [
    (lambda c: c.publish_object("sb", "Note", "n1", {"text": 'hello\nO|T="Evil"|I="e1"'}),
     'publish_object(): the value of field "text" holds a line feed'),
    (lambda c: c.publish_object("sb", "Note", "n1", {"say": 'a "quote"'}),
     'publish_object(): the value of field "say" holds a double quote'),
    (lambda c: c.publish_object("sb", "Note", "n1", {"a|b": 1}),
     'publish_object(): the name of field "a|b" holds a |'),
    (lambda c: c.publish_object("sb", 'No"te', "n1", {"a": 1}),
     "publish_object(): the object type holds a double quote"),
    (lambda c: c.remove_object("sb", "n\n1", "Note"), "remove_object(): the object id holds a line feed"),
    (lambda c: c.remove_object("sb", 'n1"|T="Evil', "Note"), "remove_object(): the object id holds a double quote"),
])
def test_a_text_the_relay_would_misread_raises_a_value_error_and_nothing_is_sent(client, sandbox, call, message):
    with pytest.raises(ValueError) as refused:
        call(client)
    assert str(refused.value).startswith(message), str(refused.value)
    assert client.serialize_object("Note", "n1", {"text": 'cut "short'}) == ""
    client.publish_object("sb", "Note", "n2", {"text": "a|b"})
    assert sandbox.wait_for_objects(1, DEADLINE)
    assert sandbox.relay_publications() == ['O|T="Note"|I="n2"|text="a|b"']


def test_numpy_fields_travel_with_their_suffixes_and_are_stored_with_their_width(client, sandbox):
    client.publish_object("sb", "Widths", "w-1",
                          {"i32": np.int32(-7), "i64": np.int64(2**40), "f32": np.float32(0.5),
                           "f64": np.float64(0.25)})
    assert sandbox.wait_for_objects(1, DEADLINE)
    assert sandbox.relay_publications() == ['O|T="Widths"|I="w-1"|i32=-7|i64=1099511627776L|f32=0.5F|f64=0.25D']
    assert sandbox.wait_until_stored(DEADLINE)
    columns = client.sql("sb", "SELECT i32, i64, f32, f64 FROM Widths").to_numpy()
    assert {k: v.dtype for k, v in columns.items()} == {
        "i32": np.dtype("int32"), "i64": np.dtype("int64"), "f32": np.dtype("float32"), "f64": np.dtype("float64")}
    assert [v[0] for v in columns.values()] == [-7, 2**40, 0.5, 0.25]


def test_the_distribution_function_is_called_with_the_message(client, sandbox):
    calls = []

    def route(cluster_name, message):
        calls.append((cluster_name, message))
        return [0]

    cluster = sandbox.cluster("routed")
    cluster.publication_config.set_distribution_function(route)
    assert cluster.publication_config.distribution_function() is route
    client.add_cluster(cluster)
    client.publish_object("routed", "R", "r-1", {"n": np.int32(1)})
    assert sandbox.wait_for_objects(1, DEADLINE)
    assert calls == [("routed", 'O|T="R"|I="r-1"|n=1\n')]


def test_the_readme_quick_start_finds_what_it_published_every_time():
    # The README's first Python example publishes, flushes and then queries what it published.
    import pathlib
    import re
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    section = readme[readme.index("## Python"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    code = code.replace("print(update.table_name, update.object_id, update.row)", "pass")
    for _ in range(20):
        scope = {}
        exec(code, scope)
        assert len(scope["frame"]) == 1
