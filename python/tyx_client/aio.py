"""asyncio access to the tyx client: AsyncTyxClient.

    async with AsyncTyxClient() as client:
        await client.add_cluster(cluster)
        result = await client.sql("demo", "SELECT * FROM Orders")
        async for batch in client.updates("demo", ["Orders"]):
            ...

Every awaitable is one of the library's asynchronous calls: it starts the call and waits for its
callback, which the library runs on its notification thread and which hands the result to the
event loop (call_soon_threadsafe). No thread is started per call. Cancelling an await stops the
wait only: the library finishes the call and its late result is dropped.

Streams (updates, session_states) are filled by listeners on the notification thread through
bounded queues. A consumer that falls behind holds the notification thread back until it has
room again: that holds back every event of the client (other listeners, query results and the
other awaitables included), and in the end the center sessions' reading, so memory stays
bounded. The one exception avoids a deadlock: while an awaitable of the same client is pending
(its result waits behind the full queue), a full queue takes batches past its bound.
"""

from __future__ import annotations

import asyncio
import collections
import threading
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Deque,
    Dict,
    Generic,
    Iterable,
    List,
    Mapping,
    Literal,
    Optional,
    Set,
    Tuple,
    TypeVar,
    Union,
    overload,
)

from . import _native

if TYPE_CHECKING:
    from types import TracebackType

__all__ = ["AsyncTyxClient", "ClientClosedError", "Stream", "UpdateBatch"]

T = TypeVar("T")
Batch = TypeVar("Batch")
# pandas.DataFrame; pandas itself ships no annotations.
DataFrame = Any
UpdateBatch = Union[List["_native.Update"], DataFrame]
SessionStateEvent = Mapping[str, Any]  # a dict, as Listener.on_session_state receives it

# A wait for room in a full queue is cut into slices of this many seconds, so that a TyxClient
# closed directly (through .sync) or an event loop that went away ends it too; a consumer waiting
# for an item looks for such a closing as often.
_ROOM_WAIT_SLICE = 0.25
_CLOSED_POLL = 0.25


class ClientClosedError(RuntimeError):
    """The AsyncTyxClient was closed before the call, or while it was pending."""


class _Flow:
    """What the notification thread and the event loop share about one client: the lock every
    queue of the client uses, the number of library calls whose callback has not run yet, and
    whether the client is closing. Reentrant, because a stream dropped by the garbage collector
    ends itself on whichever thread the collector runs."""

    def __init__(self, sync: _native.TyxClient) -> None:
        self.changed = threading.Condition(threading.RLock())
        self.calls_in_flight = 0
        self.closed = False
        self.sync = sync


class _Feed(Generic[T]):
    """A bounded queue filled on the notification thread and drained by one consumer on the
    event loop, which is woken once each time it waits and the queue becomes non-empty."""

    def __init__(self, flow: _Flow, loop: asyncio.AbstractEventLoop, max_items: int) -> None:
        self._flow = flow
        self._loop = loop
        self._max = max_items
        self._items: Deque[T] = collections.deque()
        self._waiter: Optional[asyncio.Future[None]] = None  # the consumer, while it waits
        self._producer_waiting = False
        self._poll: Optional[asyncio.TimerHandle] = None
        self.most_queued = 0
        self.closed = False

    def __len__(self) -> int:
        return len(self._items)

    def put(self, item: T) -> None:
        """Notification thread, GIL held: queues `item`, waiting (GIL released) while the queue
        is full, unless the client is closing or a call of the client is in flight."""
        changed = self._flow.changed
        with changed:
            while len(self._items) >= self._max and not self.closed and self._flow.calls_in_flight == 0:
                if self._flow.sync.closed or self._loop.is_closed():
                    # The client or the loop is going away: the stream ends with what it has.
                    self.closed = True
                    break
                self._producer_waiting = True
                changed.wait(_ROOM_WAIT_SLICE)
            self._producer_waiting = False
            if not self.closed:
                self._items.append(item)
                if len(self._items) > self.most_queued:
                    self.most_queued = len(self._items)
            waiter, self._waiter = self._waiter, None
        if waiter is not None:
            self._wake(waiter)

    def close(self, keep_items: bool) -> None:
        """Any thread: no more items; a waiting producer returns at once, and the consumer gets
        the items already queued when `keep_items`, then the end."""
        changed = self._flow.changed
        with changed:
            self.closed = True
            if not keep_items:
                self._items.clear()
            changed.notify_all()
            waiter, self._waiter = self._waiter, None
        if waiter is not None:
            self._wake(waiter)

    def _wake(self, waiter: asyncio.Future[None]) -> None:
        try:
            self._loop.call_soon_threadsafe(_settle, waiter, None)
        except RuntimeError:  # the loop is closed: nobody waits any more
            pass

    async def get(self) -> T:
        """Event loop: the next item; StopAsyncIteration once closed and empty."""
        changed = self._flow.changed
        while True:
            with changed:
                if self._items:
                    item = self._items.popleft()
                    if self._producer_waiting:
                        changed.notify_all()
                    return item
                if self.closed:
                    raise StopAsyncIteration
                waiter: asyncio.Future[None] = self._loop.create_future()
                self._waiter = waiter
            self._poll = self._loop.call_later(_CLOSED_POLL, self._poll_closed, waiter)
            try:
                await waiter
            finally:
                self._poll.cancel()
                with changed:
                    if self._waiter is waiter:
                        self._waiter = None

    def _poll_closed(self, waiter: asyncio.Future[None]) -> None:
        # A TyxClient closed directly (through .sync) sends no word; the waiting consumer looks.
        if self._flow.sync.closed:
            self.close(keep_items=True)
        elif not waiter.done():
            self._poll = self._loop.call_later(_CLOSED_POLL, self._poll_closed, waiter)


def _settle(future: asyncio.Future[T], value: T) -> None:
    if not future.done():  # a cancelled wait drops the late result
        future.set_result(value)


def _fail_closed(future: asyncio.Future[Any]) -> None:
    if not future.done():
        future.set_exception(ClientClosedError("the AsyncTyxClient was closed while the call was pending"))


class Stream(Generic[Batch]):
    """An asynchronous iterator over what a listener of the client receives, through a bounded
    queue (see the module documentation for how a full queue holds the client back).

    It ends when the consumer stops: aclose(), leaving `async with stream:`, cancelling a task
    waiting in it, or dropping the last reference (`break` out of `async for x in
    client.updates(...)` does that); or when the client closes, after the items already queued.
    An ended stream costs nothing more."""

    def __init__(self, feed: _Feed[Batch], on_end: Callable[[], None]) -> None:
        self._feed = feed
        self._on_end: Optional[Callable[[], None]] = on_end

    @property
    def queued(self) -> int:
        """Items waiting for the consumer now."""
        return len(self._feed)

    @property
    def most_queued(self) -> int:
        """The most items that have waited for the consumer at once."""
        return self._feed.most_queued

    @property
    def ended(self) -> bool:
        """True once nothing more will be queued."""
        return self._feed.closed

    def __aiter__(self) -> Stream[Batch]:
        return self

    async def __anext__(self) -> Batch:
        try:
            return await self._feed.get()
        except asyncio.CancelledError:
            self._end()
            raise

    async def aclose(self) -> None:
        """Ends the stream and drops what is queued; calling it again does nothing."""
        self._end()

    async def __aenter__(self) -> Stream[Batch]:
        return self

    async def __aexit__(self, *exc: object) -> None:
        self._end()

    def _end(self) -> None:
        self._feed.close(keep_items=False)
        on_end, self._on_end = self._on_end, None
        if on_end is not None:
            on_end()

    def __del__(self) -> None:
        if getattr(self, "_on_end", None) is not None:
            try:
                self._end()
            except Exception:  # a client closed meanwhile, an interpreter shutting down
                pass


class _UpdateTarget:
    """One updates() stream as the dispatcher sees it: its key, session name, tables and queue."""

    def __init__(self, key: int, cluster_name: str, tables: Tuple[str, ...], feed: _Feed[Any]) -> None:
        self.key = key
        self.session = cluster_name + "-center"
        self.tables = sorted(set(tables))
        self.feed = feed


class _UpdateDispatcher:
    """Hands the batches of the client's update source of one form to their streams. One per
    form and client, made when the first stream of that form starts; the library cannot remove
    the source, which keeps nothing once no stream is left."""

    def __init__(self, flow: _Flow, frames: bool) -> None:
        self._flow = flow
        # By key; replaced whole under the flow's lock, read without it.
        self.targets: Dict[int, _UpdateTarget] = {}
        self._source = _native._AioUpdateSource(flow.sync, frames, self.deliver)

    def set_targets(self, targets: Dict[int, _UpdateTarget]) -> None:
        """Under the flow's lock."""
        self.targets = targets
        self._source.set_wanted([(t.key, t.session, t.tables) for t in targets.values()])

    def deliver(self, key: int, updates: Any) -> None:
        """Notification thread, GIL held: the stream's updates of one received frame."""
        target = self.targets.get(key)
        if target is None or target.feed.closed:
            return
        if self._flow.sync.closed:
            target.feed.close(keep_items=True)
        else:
            target.feed.put(updates)


class _StateTarget:
    def __init__(self, cluster_name: Optional[str], feed: _Feed[SessionStateEvent]) -> None:
        self.cluster_name = cluster_name
        self.feed = feed


class _StateDispatcher(_native.Listener):
    """The client's one listener for session states, as _UpdateDispatcher is for updates."""

    def __init__(self) -> None:
        self.targets: Tuple[_StateTarget, ...] = ()

    def on_session_state(self, client: Optional[_native.TyxClient], cluster_name: str,
                         event: SessionStateEvent) -> None:
        for target in self.targets:
            if target.feed.closed or (target.cluster_name is not None
                                      and target.cluster_name != event["cluster"]):
                continue
            if client is None:
                target.feed.close(keep_items=True)
            else:
                target.feed.put(event)


class AsyncTyxClient:
    """A TyxClient for asyncio: the calls that wait are awaitables, updates and session states
    are asynchronous iterators.

    Use it as `async with AsyncTyxClient() as client:` (or await close()). The TyxClient it
    wraps is `sync`; the calls that return at once are its own methods, reachable here too:
    publish_object, publish_raw, remove_object, publish_frame, remove_frame, serialize_object,
    health, listener_add, register_command, send_command_response, send_command_help and
    pause_commands. Awaitables and streams may be used from any event loop, one call or stream
    each; the callbacks behind them run on the library's notification thread, so a slow
    consumer or a blocking listener holds them up as it holds up every event."""

    def __init__(self) -> None:
        self._sync = _native.TyxClient()
        self._flow = _Flow(self._sync)
        self._pending: Set[asyncio.Future[Any]] = set()
        self._closing: Optional[asyncio.Future[None]] = None
        self._update_dispatchers: Dict[bool, _UpdateDispatcher] = {}
        self._state_dispatcher: Optional[_StateDispatcher] = None
        self._table_users: Dict[Tuple[str, str], int] = {}
        self._next_key = 0
        sync = self._sync
        self.publish_object = sync.publish_object
        self.publish_raw = sync.publish_raw
        self.remove_object = sync.remove_object
        self.publish_frame = sync.publish_frame
        self.remove_frame = sync.remove_frame
        self.serialize_object = sync.serialize_object
        self.health = sync.health
        self.listener_add = sync.listener_add
        self.register_command = sync.register_command
        self.send_command_response = sync.send_command_response
        self.send_command_help = sync.send_command_help
        self.pause_commands = sync.pause_commands

    @property
    def sync(self) -> _native.TyxClient:
        """The wrapped TyxClient. Closing it directly ends the streams too; pending awaits then
        resolve as their calls end."""
        return self._sync

    @property
    def closed(self) -> bool:
        """True once close() has been called."""
        return self._flow.closed

    async def __aenter__(self) -> AsyncTyxClient:
        return self

    async def __aexit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        await self.close()

    # ---- Awaitables ------------------------------------------------------------------------

    async def add_cluster(self, cluster: _native.Cluster) -> None:
        """As TyxClient.add_cluster with wait=True: returns once every session of `cluster` has
        logged in or tried each of its endpoints once."""
        await self._call(lambda done: self._sync.add_cluster_async(cluster, done))

    async def remove_cluster(self, cluster_name: str) -> None:
        """As TyxClient.remove_cluster with wait=True: returns once the cluster's sessions have
        stopped."""
        await self._call(lambda done: self._sync.remove_cluster_async(cluster_name, done))

    async def subscribe(self, cluster_name: str, tables: Union[str, Iterable[Any]]) -> None:
        """As TyxClient.subscribe with wait=True: returns once every center shard has answered
        for the tables (their snapshots reach the listeners before). No time limit: wrap it in
        asyncio.wait_for to have one."""
        await self._call(lambda done: self._sync.subscribe_async(cluster_name, tables, done))

    async def unsubscribe(self, cluster_name: str, tables: Union[str, Iterable[str]]) -> None:
        """As TyxClient.unsubscribe with wait=True."""
        await self._call(lambda done: self._sync.unsubscribe_async(cluster_name, tables, done))

    async def get_table_schema(self, cluster_name: str, table_name: str) -> Optional[_native.CenterTableSchema]:
        """As TyxClient.get_table_schema: the table's CenterTableSchema, or None."""
        schema: Optional[_native.CenterTableSchema] = await self._call(
            lambda done: self._sync.get_table_schema_async(cluster_name, table_name, done))
        return schema

    async def sql(self, cluster_name: str, query: str) -> _native.TableAccessor:
        """As TyxClient.sql: the merged result of every database shard. A failed query raises
        nothing; its result has an error_message()."""
        result: _native.TableAccessor = await self._call(
            lambda done: self._sync.sql_async(cluster_name, query, done))
        return result

    async def sql_insert(self, cluster_name: str, table: Any, table_name: Optional[str] = None) -> None:
        """As TyxClient.sql_insert (the table is converted and copied before the first await)."""
        await self._call(lambda done: self._sync.sql_insert_async(
            cluster_name, table, on_done=done, table_name=table_name))

    async def sql_replace(self, cluster_name: str, table: Any, suffix: str = "",
                          table_name: Optional[str] = None) -> None:
        """As TyxClient.sql_replace: returns once the table is created or emptied and the rows
        are inserted."""
        await self._call(lambda done: self._sync.sql_replace_async(
            cluster_name, table, table_name=table_name, suffix=suffix, on_done=done))

    async def flush(self, timeout: float = 10.0, cluster_name: Optional[str] = None) -> int:
        """As TyxClient.flush: waits until the relays' hosts have every message published
        before the call (of every cluster, or of `cluster_name`), or `timeout` seconds; returns
        how many are still not delivered."""
        left: int = await self._call(lambda done: self._sync.flush_async(
            done, timeout=timeout, cluster_name=cluster_name))
        return left

    def _check_open(self) -> None:
        if self._flow.closed or self._sync.closed:
            raise ClientClosedError("the AsyncTyxClient is closed")

    async def _call(self, start: Callable[[Callable[..., None]], object]) -> Any:
        """Starts a library call with a callback that resolves a future on this loop, and waits
        for it. The callback runs exactly once, on the notification thread."""
        self._check_open()
        loop = asyncio.get_running_loop()
        future: asyncio.Future[Any] = loop.create_future()
        flow = self._flow

        def done(*result: Any) -> None:
            with flow.changed:
                flow.calls_in_flight -= 1
            try:
                loop.call_soon_threadsafe(_settle, future, result[0] if result else None)
            except RuntimeError:  # the loop is closed: nobody waits any more
                pass

        with flow.changed:
            # A queue that holds the notification thread back must let it go on: this call's
            # callback may be queued behind it.
            flow.calls_in_flight += 1
            flow.changed.notify_all()
        try:
            start(done)
        except BaseException:
            with flow.changed:
                flow.calls_in_flight -= 1
            raise
        self._pending.add(future)
        try:
            return await future
        finally:
            self._pending.discard(future)

    # ---- Streams ---------------------------------------------------------------------------

    @overload
    def updates(self, cluster_name: str, tables: Union[str, Iterable[str]],
                as_frame: Literal[False] = ..., max_batches: int = ...) -> Stream[List[_native.Update]]: ...

    @overload
    def updates(self, cluster_name: str, tables: Union[str, Iterable[str]],
                as_frame: Literal[True], max_batches: int = ...) -> Stream[DataFrame]: ...

    def updates(self, cluster_name: str, tables: Union[str, Iterable[str]], as_frame: bool = False,
                max_batches: int = 64) -> Stream[Any]:
        """Subscribes to `tables` (a name or names) of the cluster and yields their updates in
        batches, as Listener.on_updates receives them: the updates of one received frame, as a
        list of Update, or with as_frame=True as a pandas DataFrame, holding only the updates of
        `tables` (converted apart from other streams', so a frame's columns and dtypes are those
        of these tables alone). Call it inside the event loop; queuing starts at once, and the
        subscription is made without waiting: `await client.subscribe(cluster_name, tables)`
        afterwards returns once the snapshot is in the stream.

        At most `max_batches` batches wait for the consumer; when they are that many, the
        library's notification thread waits for room, which holds back every event of the client
        (see the module documentation). The first stream of a table gets the table's snapshot
        first; one started while another stream or a subscription of the client already has the
        table starts from the next change. When the stream ends, the tables no other stream of
        this client reads are unsubscribed (without waiting)."""
        loop = asyncio.get_running_loop()
        names = (tables,) if isinstance(tables, str) else tuple(tables)
        if not names or not all(isinstance(n, str) for n in names):
            raise TypeError("updates() expects a table name or a non-empty list of table names")
        if max_batches < 1:
            raise ValueError("max_batches must be 1 or more")
        self._check_open()
        feed: _Feed[Any] = _Feed(self._flow, loop, max_batches)
        self._next_key += 1
        target = _UpdateTarget(self._next_key, cluster_name, names, feed)
        if as_frame not in self._update_dispatchers:
            self._update_dispatchers[as_frame] = _UpdateDispatcher(self._flow, as_frame)
        dispatcher = self._update_dispatchers[as_frame]
        with self._flow.changed:
            dispatcher.set_targets({**dispatcher.targets, target.key: target})
            for name in names:
                key = (cluster_name, name)
                self._table_users[key] = self._table_users.get(key, 0) + 1
        self._sync.subscribe(cluster_name, list(names), wait=False)

        def end() -> None:
            with self._flow.changed:
                dispatcher.set_targets({k: t for k, t in dispatcher.targets.items() if t is not target})
                unused = []
                for name in names:
                    key = (cluster_name, name)
                    self._table_users[key] -= 1
                    if self._table_users[key] == 0:
                        del self._table_users[key]
                        unused.append(name)
            if unused and not self._flow.closed:
                try:
                    self._sync.unsubscribe(cluster_name, unused, wait=False)
                except RuntimeError:  # the TyxClient was closed directly: nothing to undo
                    pass

        return Stream(feed, end)

    def session_states(self, cluster_name: Optional[str] = None,
                       max_events: int = 1024) -> Stream[SessionStateEvent]:
        """Yields the session state changes (the dicts Listener.on_session_state receives) of
        every cluster, or of `cluster_name`, from now on. Bounded as updates() is: at most
        `max_events` wait for the consumer."""
        loop = asyncio.get_running_loop()
        if max_events < 1:
            raise ValueError("max_events must be 1 or more")
        self._check_open()
        feed: _Feed[SessionStateEvent] = _Feed(self._flow, loop, max_events)
        target = _StateTarget(cluster_name, feed)
        if self._state_dispatcher is None:
            added = _StateDispatcher()
            self._sync.listener_add(added)
            self._state_dispatcher = added
        dispatcher = self._state_dispatcher
        with self._flow.changed:
            dispatcher.targets = dispatcher.targets + (target,)

        def end() -> None:
            with self._flow.changed:
                dispatcher.targets = tuple(t for t in dispatcher.targets if t is not target)

        return Stream(feed, end)

    # ---- Closing ---------------------------------------------------------------------------

    async def close(self) -> None:
        """Ends every stream (after the items already queued), fails every pending awaitable
        with ClientClosedError, then closes the TyxClient on a thread of the default executor,
        so that the loop goes on while the library's threads stop. Calling it again waits for
        the same closing."""
        if self._closing is None:
            loop = asyncio.get_running_loop()
            with self._flow.changed:
                self._flow.closed = True
                self._flow.changed.notify_all()
                feeds: List[_Feed[Any]] = [t.feed for d in self._update_dispatchers.values()
                                           for t in d.targets.values()]
                if self._state_dispatcher is not None:
                    feeds += [t.feed for t in self._state_dispatcher.targets]
            # The queues first: a notification thread waiting for room must be free before the
            # TyxClient's closing waits for it.
            for feed in feeds:
                feed.close(keep_items=True)
            for future in list(self._pending):
                if future.get_loop() is loop:
                    _fail_closed(future)
                else:
                    future.get_loop().call_soon_threadsafe(_fail_closed, future)
            self._closing = loop.run_in_executor(None, self._sync.close)
        await asyncio.shield(self._closing)
