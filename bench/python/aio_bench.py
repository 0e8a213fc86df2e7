#!/usr/bin/python3
# tyx_client.aio beside the blocking module in the same run: updates per second through
# `async for batch in client.updates(...)` against a Listener.on_updates counting the same
# batches (a table's snapshot, then live updates), and the latency of `await client.sql(...)`
# against the blocking client.sql(...). Needs only the module (it starts its own sandbox):
#   PYTHONPATH=build/python /usr/bin/python3 bench/python/aio_bench.py [rows] [queries]
import asyncio
import sys
import threading
import time

import numpy as np
import pandas  # imported here, so that the first pandas batch does not pay for it

import tyx_client
from tyx_client.aio import AsyncTyxClient

POLL = 0.0005


def publish(client, table, rows, start=0):
    """`rows` objects in one call, the loop in C++ without the GIL, so that the consumers are
    what the live runs measure."""
    n = np.arange(start, start + rows, dtype=np.int64)
    frame = pandas.DataFrame({"id": ["k-%d" % i for i in n], "n": n, "px": 0.5 * n,
                              "sym": ["s%d" % (i % 100) for i in n]})
    client.publish_frame("b", table, frame, "id")


class BatchCounter(tyx_client.Listener):
    def __init__(self, form):
        self.updates_as = form
        self.count = 0

    def on_updates(self, client, cluster_name, updates):
        self.count += len(updates)


def wait_until(condition, timeout=600.0):
    end = time.perf_counter() + timeout
    while not condition():
        if time.perf_counter() > end:
            raise SystemExit("timed out")
        time.sleep(POLL)
    return time.perf_counter()


def sync_run(sandbox, table, rows, form):
    """Seconds for the snapshot of `table` (`rows` stored updates) to reach an on_updates
    listener, then for `rows` live updates published from another thread."""
    with tyx_client.TyxClient() as client:
        batches = BatchCounter(form)
        client.listener_add(batches)
        client.add_cluster(sandbox.cluster("b"), wait=True)
        t0 = time.perf_counter()
        client.subscribe("b", table, wait=False)
        snapshot = wait_until(lambda: batches.count >= rows) - t0
        t0 = time.perf_counter()
        publisher = threading.Thread(target=publish, args=(client, table, rows, rows))
        publisher.start()
        live = wait_until(lambda: batches.count >= 2 * rows) - t0
        publisher.join()
        return snapshot, live


async def async_run(sandbox, table, rows, form):
    """As sync_run, with the updates taken by `async for` on the event loop."""
    async with AsyncTyxClient() as client:
        client.sync.add_cluster(sandbox.cluster("b"), wait=True)
        seen = 0
        t0 = time.perf_counter()
        stream = client.updates("b", table, as_frame=form == "pandas")
        async for batch in stream:
            seen += len(batch)
            if seen >= rows:
                break
        snapshot = time.perf_counter() - t0
        t0 = time.perf_counter()
        publisher = asyncio.get_running_loop().run_in_executor(None, publish, client.sync, table, rows, rows)
        async for batch in stream:
            seen += len(batch)
            if seen >= 2 * rows:
                break
        live = time.perf_counter() - t0
        await publisher
        await stream.aclose()
        return snapshot, live


def quantiles(samples):
    ordered = sorted(samples)
    return ordered[len(ordered) // 2], ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


async def query_latencies(sandbox, queries):
    async with AsyncTyxClient() as client:
        client.sync.add_cluster(sandbox.cluster("b"), wait=True)
        query = "SELECT n, px FROM Q WHERE n < 10"
        blocking, awaited = [], []
        for _ in range(50):  # warm both paths
            client.sync.sql("b", query)
            await client.sql("b", query)
        for _ in range(queries):
            t0 = time.perf_counter()
            client.sync.sql("b", query)
            blocking.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            await client.sql("b", query)
            awaited.append(time.perf_counter() - t0)
        return quantiles(blocking), quantiles(awaited)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    queries = int(sys.argv[2]) if len(sys.argv) > 2 else 2_000
    repeats = 3
    with tyx_client.Sandbox() as sandbox:
        with tyx_client.TyxClient() as client:
            client.add_cluster(sandbox.cluster("b"), wait=True)
            for r in range(repeats):
                for name in ("S_list", "S_pandas", "A_list", "A_pandas"):
                    publish(client, "%s_%d" % (name, r), rows)
            publish(client, "Q", 100)
            if not sandbox.wait_until_stored(600):
                raise SystemExit("not stored")

        print("%d updates per run, best of %d runs; updates per second" % (rows, repeats))
        for form in ("list", "pandas"):
            sync_times = [sync_run(sandbox, "S_%s_%d" % (form, r), rows, form) for r in range(repeats)]
            async_times = [asyncio.run(async_run(sandbox, "A_%s_%d" % (form, r), rows, form)) for r in range(repeats)]
            for phase in (0, 1):
                s = min(t[phase] for t in sync_times)
                a = min(t[phase] for t in async_times)
                print("%-6s %-8s async for %9.0f   on_updates %9.0f   ratio %.2f"
                      % (form, ("snapshot", "live")[phase], rows / a, rows / s, s / a))

        (b50, b99), (a50, a99) = asyncio.run(query_latencies(sandbox, queries))
        print("sql latency over %d queries: await p50 %.0f us, p99 %.0f us; blocking p50 %.0f us, p99 %.0f us;"
              " ratio p50 %.2f, p99 %.2f" % (queries, a50 * 1e6, a99 * 1e6, b50 * 1e6, b99 * 1e6, a50 / b50, a99 / b99))


if __name__ == "__main__":
    main()
