# Argument checking and the configuration records.
import numpy as np
import pandas as pd
import pytest

import tyx_client

# (call on a client, expected TypeError text)
WRONG_ARGUMENTS = [
    (lambda c: c.publish_object("sb", "T", "i", {"x": [1, 2]}), r"field 'x': cannot publish a value of type 'list'"),
    (lambda c: c.publish_object("sb", "T", "i", {"x": np.datetime64("2024-01-01")}), r"field 'x'.*numpy scalar"),
    (lambda c: c.publish_object("sb", "T", "i", {"x": np.complex64(1)}), r"field 'x'.*numpy scalar"),
    (lambda c: c.publish_object("sb", "T", "i", {1: 2}), r"field names must be str, not 'int'"),
    (lambda c: c.publish_object("sb", "T", "i", "abc", [1]), r"not a single str"),
    (lambda c: c.publish_object("sb", "T", "i", [1, 2]), r"fields must be a mapping"),
    (lambda c: c.publish_object("sb", 5, "i", {}), r"incompatible function arguments"),
    (lambda c: c.add_cluster("sb"), r"incompatible function arguments"),
    (lambda c: c.listener_add(object()), r"expects a tyx_client.Listener, not 'object'"),
    (lambda c: c.subscribe("sb", [1]), r"found an item of type 'int'"),
    (lambda c: c.unsubscribe("sb", 3), r"expects a str or a list of str, not 'int'"),
    (lambda c: c.sql_async("sb", "SELECT 1", "not callable"), r"must be callable, not 'str'"),
    (lambda c: c.sql_insert_async("sb", tyx_client.Table("t"), on_done=1), r"on_done must be callable"),
    (lambda c: c.sql_insert("sb", [1, 2, 3]), r"expects a tyx_client.Table, a pandas DataFrame or a dict"),
    (lambda c: c.sql_replace("sb", pd.DataFrame({"a": [1]})), r"needs table_name=<str>"),
    # None is a NULL; the first other value decides the column's kind.
    (lambda c: c.sql_insert("sb", {"a": [None, 3]}, table_name="t"), r"column 'a'.*row 1 holds .*'int'"),
    (lambda c: c.sql_insert("sb", {"a": ["x", b"y"]}, table_name="t"), r"column 'a'.*row 1 holds .*'bytes'"),
    (lambda c: c.sql_insert("sb", {"a": np.array([1], dtype="timedelta64[s]")}, table_name="t"),
     r"column 'a': no column type for numpy dtype 'timedelta64\[s\]'"),
    (lambda c: c.sql_insert("sb", {"a": np.zeros((2, 2))}, table_name="t"), r"one-dimensional"),
    (lambda c: c.sql_insert("sb", {5: [1]}, table_name="t"), r"column names must be str"),
]


@pytest.mark.parametrize("call,message", WRONG_ARGUMENTS, ids=[m for _, m in WRONG_ARGUMENTS])
def test_wrong_argument_types_raise_a_clear_type_error(call, message):
    with tyx_client.TyxClient() as c:
        with pytest.raises(TypeError, match=message):
            call(c)


def test_other_argument_errors():
    with tyx_client.TyxClient() as c:
        with pytest.raises(OverflowError, match="does not fit in 64 bits"):
            c.serialize_object("T", "i", {"x": 2**64})
        with pytest.raises(ValueError, match="2 field names for 1 values"):
            c.serialize_object("T", "i", ["a", "b"], [1])
        with pytest.raises(TypeError, match="must be callable"):
            tyx_client.PublicationConfig().set_distribution_function(5)
    with pytest.raises(RuntimeError, match="closed"):
        c.sql("sb", "SELECT 1")
    with pytest.raises(RuntimeError, match="not running"):
        tyx_client.Sandbox().relay_port


def test_config_records_have_the_library_defaults_and_building_operations():
    shard = tyx_client.DatabaseConfig.Shard()
    assert (shard.host, shard.port_or_service, shard.use_ssl, shard.enabled()) == ("", "", True, False)
    db = tyx_client.DatabaseConfig()
    assert (db.query_timeout_ms, db.query_limit, db.db, db.enabled()) == (30000, 10000, "", False)
    assert db.add_failover_url("f", "1") is db and not db.enabled()
    assert list(db.shards[0].failover_endpoints) == [tyx_client.Endpoint("f", "1")]

    cluster = tyx_client.Cluster("c", "h")
    cluster.publication_config = tyx_client.PublicationConfig(
        "7001", False, "me", tyx_client.PublicationConfig.ENABLE_QUIET | tyx_client.TTY)
    cluster.database_config = tyx_client.DatabaseConfig("7003", True, "u", "p")
    assert cluster.add_failover_host("backup") is cluster
    assert cluster.publication_config.options == 4 + 4096
    limits = cluster.publication_config
    assert (limits.max_buffered_bytes, limits.full_buffer_policy, limits.full_buffer_block_ms,
            limits.conflate_objects) == (256 << 20, tyx_client.PublicationConfig.FullBufferPolicy.drop_newest, 0,
                                         False)
    assert list(cluster.publication_config.shards[0].failover_endpoints) == [tyx_client.Endpoint("backup", "7001")]
    assert list(cluster.database_config.shards[0].failover_endpoints) == [tyx_client.Endpoint("backup", "7003")]
    assert len(cluster.subscription_config.shards) == 0

    # Nested records are changed in place, and chaining returns the same config.
    publication = cluster.publication_config
    assert publication.add_shard("7101", True) is publication
    publication.shards[1].ssl.client_cert_file = "cert.pem"
    assert cluster.publication_config.shards[1].ssl.client_cert_file == "cert.pem"
    assert [s.port_or_service for s in cluster.publication_config.shards] == ["7001", "7101"]
    assert not publication.has_distribution_function()

    # Endpoints compare by value, and with anything else as unequal instead of raising.
    endpoint = tyx_client.Endpoint("backup", "7001")
    assert endpoint == tyx_client.Endpoint("backup", "7001") and endpoint != tyx_client.Endpoint("backup", "7002")
    assert endpoint != None and endpoint != ("backup", "7001")  # noqa: E711
    assert endpoint in [None, "backup", tyx_client.Endpoint("backup", "7001")]


def test_every_client_and_listener_method_documents_more_than_its_signature():
    checked, bare = [], []
    for cls in (tyx_client.TyxClient, tyx_client.Listener):
        for name, method in vars(cls).items():
            if name.startswith("_") or not callable(method):
                continue
            checked.append(name)
            lines = (method.__doc__ or "").strip().splitlines()
            if lines and lines[0].startswith(name + "("):  # the signature line pybind11 puts first
                lines = lines[1:]
            if len(" ".join(lines).strip()) < 20:
                bare.append(cls.__name__ + "." + name)
    assert {"sql", "subscribe", "on_update", "on_session_state"} <= set(checked)
    assert bare == []
