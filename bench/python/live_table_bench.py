#!/usr/bin/python3
# Updates per second reaching a LiveTable and Listener.on_updates batches, each against a C++
# listener counting the same updates in the same run, and the time of LiveTable.to_pandas() on a
# large table. Needs only the module (it starts its own sandbox):
#   PYTHONPATH=build-rel/python /usr/bin/python3 bench/python/live_table_bench.py [rows] [big_rows]
import sys
import time

import pandas  # noqa: F401  imported here, so that the first pandas batch does not pay for it

import tyx_client

POLL = 0.0005


def wait_until(condition, timeout=600.0):
    end = time.perf_counter() + timeout
    while not condition():
        if time.perf_counter() > end:
            raise SystemExit("timed out")
        time.sleep(POLL)
    return time.perf_counter()


class BatchCounter(tyx_client.Listener):
    def __init__(self, form):
        self.updates_as = form
        self.count = 0

    def on_updates(self, client, cluster_name, updates):
        self.count += len(updates)


def publish(client, table, rows, start=0):
    for i in range(start, start + rows):
        client.publish_object("b", table, "k-%d" % i, {"n": i, "px": 0.5 * i, "sym": "s%d" % (i % 100)})


def measure(sandbox, table, rows, consumer):
    """One client with a C++ counter and the consumer under test, subscribed to `table` (whose
    `rows` are stored): seconds until each has received the snapshot's rows, then until each has
    received `rows` live updates published while subscribed."""
    with tyx_client.TyxClient() as client:
        counter = tyx_client._native._UpdateCounter(client)
        client.add_cluster(sandbox.cluster("b"), wait=True)
        seen, live = consumer(client, table)
        t0 = time.perf_counter()
        if live is None:
            client.subscribe("b", table)
        baseline = wait_until(lambda: counter.count >= rows) - t0
        python = wait_until(lambda: seen() >= rows) - t0
        t0 = time.perf_counter()
        publish(client, table, rows, rows)
        live_baseline = wait_until(lambda: counter.count >= 2 * rows) - t0
        live_python = wait_until(lambda: seen() >= 2 * rows) - t0
        if live is not None:
            live.close()
        return baseline, python, live_baseline, live_python


def live_table_consumer(client, table):
    live = client.live_table("b", table)
    return (lambda: live.version), live


def batches_consumer(form):
    def make(client, table):
        batches = BatchCounter(form)
        client.listener_add(batches)
        return (lambda: batches.count), None
    return make


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    big = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
    with tyx_client.Sandbox() as sandbox:
        with tyx_client.TyxClient() as client:
            client.add_cluster(sandbox.cluster("b"), wait=True)
            for name in ("T1", "T2", "T3"):
                publish(client, name, rows)
            if not sandbox.wait_until_stored(600):
                raise SystemExit("not stored")
        print("%d rows per run; rates in updates per second (C++ counter in the same client)" % rows)
        for name, table, consumer in (("LiveTable", "T1", live_table_consumer),
                                      ("on_updates list", "T2", batches_consumer("list")),
                                      ("on_updates pandas", "T3", batches_consumer("pandas"))):
            cpp, py, live_cpp, live_py = measure(sandbox, table, rows, consumer)
            print("%-18s snapshot: %10.0f vs C++ %10.0f (ratio %.2f)   live: %10.0f vs C++ %10.0f (ratio %.2f)"
                  % (name, rows / py, rows / cpp, cpp / py, rows / live_py, rows / live_cpp, live_cpp / live_py))

        with tyx_client.TyxClient() as client:
            client.add_cluster(sandbox.cluster("b"), wait=True)
            t0 = time.perf_counter()
            publish(client, "Big", big)
            if not sandbox.wait_until_stored(1200):
                raise SystemExit("not stored")
            print("published and stored %d rows in %.1f s" % (big, time.perf_counter() - t0))
            live = client.live_table("b", "Big")
            if not live.wait_for(lambda t: len(t) >= big, timeout=1200):
                raise SystemExit("live table incomplete")
            best = None
            for _ in range(3):
                t0 = time.perf_counter()
                frame = live.to_pandas()
                elapsed = time.perf_counter() - t0
                best = elapsed if best is None else min(best, elapsed)
            assert len(frame) == big
            print("to_pandas() of %d rows x %d columns: %.2f s (best of 3)" % (big, frame.shape[1], best))
            live.close()


if __name__ == "__main__":
    main()
