# Shared fixtures: a sandbox, a client connected to it as cluster "sb", and a listener that
# records events and lets a test wait for one with a deadline.
import threading
import time

import pytest

import tyx_client

DEADLINE = 10.0  # seconds; every wait in these tests is bounded by it


class Recorder(tyx_client.Listener):
    def __init__(self):
        self.events = []
        self.changed = threading.Condition()

    def _add(self, event):
        with self.changed:
            self.events.append(event)
            self.changed.notify_all()

    def on_logged_in(self, client, cluster_name):
        self._add(("logged_in", cluster_name))

    def on_update(self, client, cluster_name, update):
        self._add(("update", update))

    def on_log(self, client, cluster_name, level, message):
        self._add(("log", level, message))

    def wait_for(self, predicate, timeout=DEADLINE, count=1):
        """The count-th recorded event for which predicate(event) holds; fails after the deadline."""
        end = time.monotonic() + timeout
        with self.changed:
            while True:
                matching = [event for event in self.events if predicate(event)]
                if len(matching) >= count:
                    return matching[count - 1]
                left = end - time.monotonic()
                if left <= 0:
                    pytest.fail("no matching event within %.0f s; got %r" % (timeout, self.events[-10:]))
                self.changed.wait(left)

    def wait_update(self, predicate=lambda u: True, timeout=DEADLINE):
        return self.wait_for(lambda e: e[0] == "update" and predicate(e[1]), timeout)[1]

    def updates(self):
        with self.changed:
            return [e[1] for e in self.events if e[0] == "update"]

    def logs(self):
        with self.changed:
            return [e for e in self.events if e[0] == "log"]


@pytest.fixture
def sandbox():
    with tyx_client.Sandbox() as box:
        yield box


@pytest.fixture
def recorder():
    return Recorder()


@pytest.fixture
def client(sandbox, recorder):
    with tyx_client.TyxClient() as c:
        c.listener_add(recorder)
        c.add_cluster(sandbox.cluster("sb"), wait=True)
        recorder.wait_for(lambda e: e == ("logged_in", "sb-relay"))
        yield c
