# Blocking calls that Ctrl-C interrupts and close() releases, and the completion-callback forms,
# against servers that accept connections and never answer.
import os
import signal
import socket
import threading
import time

import pytest

import tyx_client
from conftest import DEADLINE

PROMPT = 0.2  # seconds: how soon a signal or a close must end a wait


@pytest.fixture
def silent():
    """A cluster "quiet" whose relay, center and database accept and never answer nor read."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        port = str(listener.getsockname()[1])
        cluster = tyx_client.Cluster("quiet", "127.0.0.1")
        cluster.publication_config = tyx_client.PublicationConfig(port, False, "feedQ")
        cluster.subscription_config = tyx_client.SubscriptionConfig(port, False)
        cluster.database_config = tyx_client.DatabaseConfig(port, False, "", "")
        yield cluster
        # Closed ahead of the client: its sessions then see the connections end and stop at once.


def fill_the_relay(client, recorder):
    """More than the kernel's buffers take, so that the relay's host acknowledges a part only."""
    recorder.wait_for(lambda e: e == ("logged_in", "quiet-relay"))
    chunk = "O|T=\"T\"|I=\"x\"|p=" + "x" * (1 << 20) + "\n"
    for _ in range(48):
        client.publish_raw("quiet", chunk)


def interrupted_after(seconds, call):
    """Runs call() with SIGINT sent after `seconds`; the time from the signal to KeyboardInterrupt."""
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(seconds, interrupt)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
        return time.monotonic() - sent[0]
    finally:
        timer.cancel()


def table():
    return tyx_client.Table("t").add_column("v", [1, 2])


BLOCKING_CALLS = {
    "add_cluster": (None, lambda c, q: c.add_cluster(q, wait=True)),
    "remove_cluster": ("filled", lambda c, q: c.remove_cluster("quiet", wait=True)),
    "subscribe": ("added", lambda c, q: c.subscribe("quiet", "Orders", wait=True)),
    "flush": ("filled", lambda c, q: c.flush(timeout=60)),
    "sql": ("added", lambda c, q: c.sql("quiet", "SELECT 1")),
    "sql_insert": ("added", lambda c, q: c.sql_insert("quiet", table())),
    "sql_replace": ("added", lambda c, q: c.sql_replace("quiet", table())),
    "wait_for": ("added", lambda c, q: c.live_table("quiet", "Orders").wait_for()),
}


@pytest.mark.parametrize("name", sorted(BLOCKING_CALLS))
def test_ctrl_c_ends_a_blocking_call_at_once_and_the_client_goes_on(client, recorder, silent, name):
    setup, call = BLOCKING_CALLS[name]
    silent.publication_config.stop_flush_ms = 60000
    if setup:
        client.add_cluster(silent, wait=False)
    if setup == "filled":
        fill_the_relay(client, recorder)
    late = interrupted_after(1.0, lambda: call(client, silent))
    assert late < PROMPT, "KeyboardInterrupt came %.3f s after the signal" % late
    # The abandoned operation goes on inside the library; the client answers other calls.
    assert client.sql("sb", "SELECT 7 AS n").to_numpy()["n"][0] == 7


def test_close_from_another_thread_releases_every_waiting_call(silent):
    client = tyx_client.TyxClient()
    client.add_cluster(silent, wait=False)
    kept = client.live_table("quiet", "Orders")
    own = client.live_table("quiet", "Trades")
    outcomes = {}

    def waiting(name, call):
        def run():
            try:
                call()
                outcomes[name] = "returned"
            except RuntimeError as error:
                outcomes[name] = (time.monotonic(), str(error))
        thread = threading.Thread(target=run)
        thread.start()
        return thread

    threads = [
        waiting("subscribe", lambda: client.subscribe("quiet", "Orders", wait=True)),
        waiting("sql", lambda: client.sql("quiet", "SELECT 1")),
        waiting("wait_for", lambda: kept.wait_for()),
        waiting("own wait_for", lambda: own.wait_for(timeout=60)),
    ]
    time.sleep(0.3)  # the threads are waiting by now; nothing below depends on it
    assert not outcomes
    closed_table = time.monotonic()
    own.close()
    threads[3].join(DEADLINE)
    closed = time.monotonic()
    client.close()
    for thread in threads:
        thread.join(DEADLINE)
    assert outcomes["own wait_for"][0] - closed_table < PROMPT
    assert outcomes["own wait_for"][1] == "the LiveTable was closed while wait_for() waited"
    for name, call in (("subscribe", "subscribe()"), ("sql", "sql()"), ("wait_for", "LiveTable.wait_for()")):
        at, text = outcomes[name]
        assert at - closed < PROMPT, name
        assert text == "the TyxClient was closed while %s waited" % call
    with pytest.raises(RuntimeError, match="closed"):
        client.sql("quiet", "SELECT 1")


def test_every_async_form_calls_back_once_and_a_close_runs_the_pending_ones(client, sandbox, silent):
    calls = []
    arrived = threading.Condition()

    def recording(name):
        def on_done(*args):
            with arrived:
                calls.append((name,) + args)
                arrived.notify_all()
        return on_done

    def wait_calls(n):
        with arrived:
            assert arrived.wait_for(lambda: len(calls) >= n, DEADLINE), calls

    client.subscribe_async("sb", ["Orders"], recording("subscribe"))
    wait_calls(1)
    client.publish_object("sb", "Orders", "o-1", {"qty": 5})
    client.flush_async(recording("flush"), timeout=DEADLINE)
    wait_calls(2)
    client.get_table_schema_async("sb", "Orders", recording("schema"))
    client.get_table_schema_async("sb", "Nothing", recording("no schema"))
    client.sql_replace_async("sb", {"v": [1.5]}, table_name="copied", on_done=recording("replace"))
    client.unsubscribe_async("sb", "Orders", recording("unsubscribe"))
    wait_calls(6)
    assert client.sql("sb", "SELECT v FROM copied").to_numpy()["v"].tolist() == [1.5]
    # Pending when the client closes (a silent center and database keep add and subscribe
    # waiting): the close runs them.
    client.add_cluster_async(silent, recording("add"))
    client.subscribe_async("quiet", "Orders", recording("pending subscribe"))
    client.flush_async(recording("pending flush"), timeout=3600, cluster_name="quiet")
    client.remove_cluster_async("quiet", recording("remove"))
    client.close()
    names = sorted(call[0] for call in calls)
    assert names == sorted(["subscribe", "flush", "schema", "no schema", "replace", "unsubscribe", "add",
                            "pending subscribe", "pending flush", "remove"]), calls
    assert ("flush", 0) in calls and ("no schema", None) in calls
    schema = next(call[1] for call in calls if call[0] == "schema")
    assert schema is None or isinstance(schema, tyx_client.CenterTableSchema)
    with tyx_client.TyxClient() as other, pytest.raises(TypeError, match="on_done must be callable"):
        other.flush_async(None)
