# Live tables and batched updates against the sandbox: a live table ends equal to the stored table
# through changes and a center reconnection, several live tables share one subscription, batches
# keep the order of single updates, and snapshots read from another thread are whole.
import threading
import time

import numpy as np
import pandas as pd
import pytest

import tyx_client
from conftest import DEADLINE


def stored(client, table):
    """The sandbox's rows of `table` by id, read through SQL, as {id: (n, sym)}."""
    frame = client.sql("sb", "SELECT id, n, sym FROM %s" % table).to_pandas()
    return {row.id: (int(row.n), row.sym) for row in frame.itertuples()}


def kept(live):
    frame = live.to_pandas()
    return {key: (int(row.n), row.sym) for key, row in zip(frame.index, frame.itertuples())}


def test_a_live_table_follows_changes_and_a_reconnection_to_the_stored_rows(client, sandbox, recorder):
    for i in range(6):
        client.publish_object("sb", "Rows", "r-%d" % i, {"n": i, "sym": "s%d" % i})
    # The relay's host has them before the sandbox is asked whether what its relay read is stored.
    assert client.flush(timeout=DEADLINE) == 0
    assert sandbox.wait_until_stored()
    with client.live_table("sb", "Rows") as live:
        assert live.wait_for(timeout=DEADLINE)
        assert kept(live) == stored(client, "Rows") and len(live) == 6
        frame = live.to_pandas()
        assert frame.index.name == "id" and frame["n"].dtype == np.int64 and frame["sym"].dtype == object

        client.publish_object("sb", "Rows", "r-1", {"n": 100, "sym": "s1"})
        client.remove_object("sb", "r-2", "Rows")
        client.publish_object("sb", "Rows", "r-6", {"n": 6, "sym": "s6"})
        assert live.wait_for(lambda t: len(t) == 6 and "r-6" in t.to_pandas().index, timeout=DEADLINE)
        assert kept(live) == stored(client, "Rows")
        assert kept(live)["r-1"] == (100, "s1")
        version = live.version
        assert version >= 9

        # The center goes away; a removal and an update land while the client cannot hear them,
        # and the snapshot after the reconnection must replace the rows, not merge into them.
        sandbox.refuse_connections("center", 1.0)
        sandbox.drop_connections("center")
        client.remove_object("sb", "r-3", "Rows")
        client.publish_object("sb", "Rows", "r-4", {"n": 44, "sym": "s44"})
        assert client.flush(timeout=DEADLINE) == 0
        assert sandbox.wait_until_stored()
        expected = stored(client, "Rows")
        assert "r-3" not in expected and "r-3" in kept(live)  # not heard: the connection is down
        assert live.wait_for(lambda t: kept(t) == expected, timeout=3 * DEADLINE)
        assert live.version > version
        recorder.wait_for(lambda e: e == ("logged_in", "sb-center"), count=2)

        # Live again after the reconnection.
        client.remove_object("sb", "r-0", "Rows")
        assert live.wait_for(lambda t: "r-0" not in t.to_pandas().index, timeout=DEADLINE)
        assert kept(live) == stored(client, "Rows")


def test_live_tables_share_a_subscription_and_an_empty_snapshot_ends_the_wait(client, recorder):
    first = client.live_table("sb", "Sparse")
    assert first.wait_for(timeout=DEADLINE)  # no row: the answer alone ends the wait
    assert len(first) == 0 and first.to_pandas().index.name == "id"
    assert first.wait_for(lambda t: len(t) > 0, timeout=0.2) is False

    client.publish_object("sb", "Sparse", "a", {"k": np.int32(1), "x": 0.5})
    client.publish_object("sb", "Sparse", "b", {"x": 1.5})  # no k: a null in an int column
    assert first.wait_for(lambda t: len(t) == 2, timeout=DEADLINE)
    second = client.live_table("sb", "Sparse")  # starts from the rows the first one keeps
    assert second.wait_for(timeout=DEADLINE) and len(second) == 2
    frame = second.to_pandas().sort_index()
    assert frame["k"].dtype == np.float64 and frame["k"]["a"] == 1 and np.isnan(frame["k"]["b"])
    assert frame["x"].tolist() == [0.5, 1.5]

    first.close()
    client.publish_object("sb", "Sparse", "c", {"x": 2.5})
    assert second.wait_for(lambda t: len(t) == 3, timeout=DEADLINE)
    assert len(first) == 2  # closed: kept as it was

    # The last close unsubscribes: a change made after it reaches no listener, while one of a
    # table subscribed later does.
    second.close()
    client.subscribe("sb", "Marker")
    client.publish_object("sb", "Sparse", "d", {"x": 3.5})
    client.publish_object("sb", "Marker", "m", {"x": 1.0})
    recorder.wait_update(lambda u: u.table_name == "Marker")
    assert not [u for u in recorder.updates() if u.object_id == "d"]
    assert len(second) == 3


class Batches(tyx_client.Listener):
    def __init__(self):
        self.batches = []
        self.singles = 0
        self.changed = threading.Condition()

    def on_update(self, client, cluster_name, update):
        self.singles += 1

    def on_updates(self, client, cluster_name, updates):
        with self.changed:
            self.batches.append(updates)
            self.changed.notify_all()

    def wait_total(self, n, size):
        with self.changed:
            return self.changed.wait_for(lambda: sum(size(b) for b in self.batches) >= n, DEADLINE)


class FrameBatches(Batches):
    updates_as = "pandas"


def test_on_updates_batches_keep_the_order_of_single_updates(client, recorder):
    as_lists, as_frames = Batches(), FrameBatches()
    client.listener_add(as_lists)
    client.listener_add(as_frames)
    client.subscribe("sb", "Ticks", wait=True)
    n = 300
    for i in range(n):
        client.publish_object("sb", "Ticks", "t-%d" % (i % 40), {"n": i, "sym": "x%d" % i})
    assert as_lists.wait_total(n, len) and as_frames.wait_total(n, len)
    recorder.wait_for(lambda e: e[0] == "update" and e[1].row.get("n") == n - 1)
    singles = [(u.object_id, u.action, u.row) for u in recorder.updates()]

    assert as_lists.singles == 0 and as_frames.singles == 0
    assert all(isinstance(b, list) and b for b in as_lists.batches)
    assert [(u.object_id, u.action, u.row) for b in as_lists.batches for u in b] == singles

    frame = pd.concat(as_frames.batches, ignore_index=True)
    assert list(frame.columns[:5]) == ["seqnum", "action", "id", "table_name", "object_id"]
    assert frame["n"].dtype == np.int64 and frame["seqnum"].dtype == np.int64
    assert list(zip(frame["object_id"], frame["action"], frame["n"], frame["sym"])) == [
        (o, a, r["n"], r["sym"]) for o, a, r in singles]
    assert (frame["table_name"] == "Ticks").all()

    class Wrong(tyx_client.Listener):
        updates_as = "arrow"

        def on_updates(self, client, cluster_name, updates):
            pass

    with pytest.raises(ValueError, match="updates_as"):
        client.listener_add(Wrong())


def test_frame_batches_leave_the_fields_an_update_lacks_missing(client, sandbox):
    for i in range(3):
        client.publish_object("sb", "GapA", "a-%d" % i, {"a": i})
        client.publish_object("sb", "GapB", "b-%d" % i, {"b": "x%d" % i})
    assert client.flush(timeout=DEADLINE) == 0 and sandbox.wait_until_stored()
    as_frames = FrameBatches()
    client.listener_add(as_frames)
    # One answer for both tables: their snapshots share a batch, each row lacking the other's field.
    client.subscribe("sb", ["GapA", "GapB"], wait=True)
    assert as_frames.wait_total(6, len)
    frame = as_frames.batches[0]
    in_a = frame["table_name"] == "GapA"
    assert len(frame) == 6 and frame["a"].dtype == np.float64  # an int with gaps: NaN
    assert frame["a"][in_a].tolist() == [0, 1, 2] and frame["a"][~in_a].isna().all()
    assert frame["b"][~in_a].tolist() == ["x0", "x1", "x2"] and frame["b"][in_a].isna().all()


def test_snapshots_read_from_another_thread_are_whole(client):
    live = client.live_table("sb", "Pairs")
    assert live.wait_for(timeout=DEADLINE)
    n = 3000
    done = threading.Event()
    broken, seen = [], []

    def read():
        while not done.is_set():
            frame = live.to_pandas()
            seen.append(len(frame))
            if len(frame) and not (frame["a"] == frame["b"]).all():
                broken.append(frame)
            if len(frame) > 50:
                broken.append(frame)
            # A reader that never sleeps would take the GIL from the fixture's Python listener at
            # every update, 5 ms a time, and starve it.
            time.sleep(0.001)

    reader = threading.Thread(target=read)
    reader.start()
    try:
        for i in range(n):
            client.publish_object("sb", "Pairs", "p-%d" % (i % 50), {"a": i, "b": i})
        assert live.wait_for(lambda t: len(t) == 50 and t.to_pandas()["a"].max() == n - 1, timeout=DEADLINE)
    finally:
        done.set()
        reader.join()
    live.close()
    assert not broken and len(seen) > 1
