# tyx_client.aio against the sandbox: awaitables resolve through the library's callbacks, a
# cancelled await drops its late result, closing fails pending awaits and ends streams, and update
# streams hold delivery back with their queue bounded, without deadlocks when they end.
import asyncio

import numpy as np
import pandas as pd
import pytest
import pytest_asyncio

import tyx_client
from conftest import DEADLINE
from tyx_client.aio import AsyncTyxClient, ClientClosedError

pytestmark = pytest.mark.asyncio


@pytest_asyncio.fixture
async def aclient(sandbox):
    async with AsyncTyxClient() as client:
        await within(client.add_cluster(sandbox.cluster("sb")))
        yield client


async def within(awaitable, timeout=DEADLINE):
    return await asyncio.wait_for(awaitable, timeout)


async def take(stream, count):
    """Batches from `stream` until they hold `count` updates (or rows), within the deadline."""
    async def gather():
        batches, seen = [], 0
        async for batch in stream:
            batches.append(batch)
            seen += len(batch)
            if seen >= count:
                return batches
        return batches
    return await within(gather())


def publish(client, table, ids):
    for i in ids:
        client.publish_object("sb", table, "%s-%d" % (table, i), {"n": np.int32(i)})


def publish_in_rounds(client, sandbox, table, count, per_round=10):
    """Publishes `count` objects, waiting after each round until the sandbox has stored it and
    sent it on, so that they reach a subscribed client in many batches."""
    for start in range(0, count, per_round):
        publish(client, table, range(start, min(count, start + per_round)))
        assert sandbox.wait_for_objects(min(count, start + per_round), DEADLINE)
        assert sandbox.wait_until_stored(DEADLINE)


async def test_queries_and_uploads(aclient):
    frame = pd.DataFrame({"sym": ["a", "b", "c"], "px": [1.5, 2.5, 3.5]})
    created = await aclient.sql("sb", "CREATE PUBLIC TABLE px (sym String, px Double) USE InitialCapacity=1")
    assert created.error_message() == ""
    await aclient.sql_insert("sb", frame, table_name="px")
    result = await aclient.sql("sb", "SELECT sym, px FROM px ORDER BY sym")
    assert result.error_message() == "" and list(result) == [("a", 1.5), ("b", 2.5), ("c", 3.5)]

    failed = await aclient.sql("sb", "SELECT * FROM no_such_table")
    assert failed.row_count() == 0 and failed.error_message() != ""
    with pytest.raises(TypeError):
        await aclient.sql_insert("sb", object(), table_name="px")

    # Many at once, each resolved with its own result.
    counts = await within(asyncio.gather(*(aclient.sql("sb", "SELECT %d AS k" % i) for i in range(20))))
    assert [r.to_numpy()["k"][0] for r in counts] == list(range(20))

    await aclient.sql_replace("sb", frame.iloc[:1], table_name="px")
    assert len(await aclient.sql("sb", "SELECT * FROM px")) == 1


async def test_cluster_subscription_and_flush_awaitables(aclient, sandbox):
    await within(aclient.add_cluster(sandbox.cluster("other")))
    publish(aclient, "Fl", range(5))
    assert await within(aclient.flush(timeout=DEADLINE)) == 0
    assert await within(aclient.flush(timeout=DEADLINE, cluster_name="other")) == 0
    await within(aclient.subscribe("other", ["Fl"]))
    schema = await aclient.get_table_schema("other", "Fl")
    assert schema is not None and "n" in [c.name for c in schema.columns]
    await within(aclient.unsubscribe("other", "Fl"))
    assert await aclient.get_table_schema("other", "Fl") is None
    await within(aclient.remove_cluster("other"))
    assert await aclient.get_table_schema("other", "Fl") is None


async def test_a_cancelled_await_drops_its_late_result(aclient):
    loop_errors = []
    asyncio.get_running_loop().set_exception_handler(lambda loop, context: loop_errors.append(context))
    task = asyncio.ensure_future(aclient.sql("sb", "SELECT 1 AS one"))
    await asyncio.sleep(0)  # the query is under way
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    # The late result arrives behind this one's and is dropped without an error.
    assert (await within(aclient.sql("sb", "SELECT 2 AS two"))).to_numpy()["two"][0] == 2
    await asyncio.sleep(0)
    assert loop_errors == []


async def test_closing_fails_pending_awaits_and_ends_streams():
    with tyx_client.Sandbox(faults="database:delay=1/2s") as sandbox:
        client = AsyncTyxClient()
        client.sync.add_cluster(sandbox.cluster("sb"), wait=False)
        pending = [asyncio.ensure_future(client.sql("sb", "SELECT %d AS k" % i)) for i in range(3)]
        stream = client.updates("sb", "Closing")
        states = client.session_states()
        await asyncio.sleep(0)
        await within(client.close())
        for task in pending:
            with pytest.raises(ClientClosedError):
                await task
        assert client.closed and client.sync.closed
        assert await within(_collect(stream)) == [] and stream.ended
        await within(_collect(states))
        with pytest.raises(ClientClosedError):
            await client.sql("sb", "SELECT 1")
        await within(client.close())  # again: nothing more


async def test_update_batches_as_lists_and_frames(aclient):
    # Two tables published together share the center's messages; each stream gets its own.
    lists = aclient.updates("sb", ["Ups"])
    frames = aclient.updates("sb", "Ups", as_frame=True)
    other_lists = aclient.updates("sb", "Other")
    other_frames = aclient.updates("sb", "Other", as_frame=True)
    await within(aclient.subscribe("sb", ["Ups", "Other"]))
    for i in range(50):
        aclient.publish_object("sb", "Ups", "Ups-%d" % i, {"n": np.int32(i)})
        if i % 10 == 0:
            aclient.publish_object("sb", "Other", "Other-%d" % i, {"m": "x%d" % i})

    batches = await take(lists, 50)
    updates = [u for batch in batches for u in batch]
    assert all(isinstance(b, list) for b in batches)
    assert [u.object_id for u in updates] == ["Ups-%d" % i for i in range(50)]
    assert {u.table_name for u in updates} == {"Ups"}

    rows = pd.concat(await take(frames, 50), ignore_index=True)
    assert rows["object_id"].tolist() == ["Ups-%d" % i for i in range(50)] and "m" not in rows
    assert rows["n"].tolist() == list(range(50)) and rows["n"].dtype == np.int32  # never a gap
    assert set(rows["table_name"]) == {"Ups"}

    expected = ["Other-%d" % i for i in range(0, 50, 10)]
    assert [u.object_id for b in await take(other_lists, 5) for u in b] == expected
    for frame in await take(other_frames, 5):
        assert list(frame.index) == list(range(len(frame))) and "n" not in frame
        assert list(frame["table_name"].unique()) == ["Other"]
        expected, got = expected[len(frame):], expected[:len(frame)]
        assert frame["object_id"].tolist() == got and frame["m"].tolist() == [o.replace("Other-", "x") for o in got]


async def test_a_slow_consumer_holds_delivery_back_with_its_queue_bounded(aclient, sandbox):
    count = 300
    stream = aclient.updates("sb", "Slow", max_batches=2)
    await within(aclient.subscribe("sb", "Slow"))  # live: what follows comes in many batches
    publish_in_rounds(aclient, sandbox, "Slow", count)

    # Nobody reads: the queue fills to its bound and the notification thread waits, so later
    # events wait in the library.
    async def held_back():
        while not (stream.queued == 2 and aclient.health()["notifications"]["queued"] > 0):
            await asyncio.sleep(0.01)
    await within(held_back())

    seen = []
    async for batch in stream:
        seen += [u.row["n"] for u in batch]
        assert stream.queued <= 2
        if len(seen) >= count:
            break
    assert seen == list(range(count)) and stream.most_queued == 2


async def test_awaiting_the_client_inside_a_full_stream_does_not_deadlock(aclient, sandbox):
    stream = aclient.updates("sb", "Inner", max_batches=1)
    await within(aclient.subscribe("sb", "Inner"))
    publish_in_rounds(aclient, sandbox, "Inner", 40, per_round=4)
    seen = 0

    async def consume():
        nonlocal seen
        async for batch in stream:
            # The query's result is delivered behind the batches that wait for room.
            assert (await aclient.sql("sb", "SELECT 1 AS one")).row_count() == 1
            seen += len(batch)
            if seen >= 40:
                return
    await within(consume())


async def test_ending_a_stream_releases_delivery_and_unsubscribes(aclient, sandbox):
    publish_in_rounds(aclient, sandbox, "Ends", 30)
    async for batch in aclient.updates("sb", "Ends", max_batches=1):
        break  # the stream is dropped here, with the notification thread perhaps waiting
    # Delivery goes on: an await resolves through the notification thread.
    assert (await within(aclient.sql("sb", "SELECT 1 AS one"))).row_count() == 1

    # A cancelled consumer ends its stream, which also frees the table.
    stream = aclient.updates("sb", ["Ends"], max_batches=1)
    task = asyncio.ensure_future(_collect(stream))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert stream.ended and stream.queued == 0

    async def unsubscribed():
        while aclient.sync.get_table_schema("sb", "Ends") is not None:
            await asyncio.sleep(0.01)
    await within(unsubscribed())


@pytest.mark.parametrize("closing", ["client", "sync"])
async def test_closing_while_the_notification_thread_waits_for_room(sandbox, closing):
    client = AsyncTyxClient()
    await within(client.add_cluster(sandbox.cluster("sb")))
    stream = client.updates("sb", "Full", max_batches=1)
    waiting = asyncio.ensure_future(_collect(client.updates("sb", "Idle")))  # a consumer that waits
    await within(client.subscribe("sb", "Full"))
    publish_in_rounds(client, sandbox, "Full", 100)

    async def full():
        while stream.queued < 1 or client.health()["notifications"]["queued"] == 0:
            await asyncio.sleep(0.01)
    await within(full())
    if closing == "client":
        await within(client.close())
    else:  # the TyxClient itself, which tells the streams nothing
        await within(asyncio.get_running_loop().run_in_executor(None, client.sync.close))
    assert len(await within(_collect(stream))) == 1  # what was queued, then the end
    assert await within(waiting) == []
    await within(client.close())


async def _collect(stream):
    return [item async for item in stream]


async def test_session_states_follow_their_clusters(sandbox):
    async with AsyncTyxClient() as client:
        mine = client.session_states("sb", max_events=2)
        others = client.session_states("other")
        client.sync.add_cluster(sandbox.cluster("sb"), wait=False)

        async def until_up():
            up = set()
            async for event in mine:
                assert event["cluster"] == "sb"
                if event["state"] == "up":
                    up.add(event["kind"])
                if up == {"relay", "center", "database"}:
                    return
        await within(until_up())
        assert mine.most_queued <= 2 and others.queued == 0
