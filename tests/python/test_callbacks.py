# Python callbacks on the library's threads: exceptions are reported and survived, blocking calls
# and callbacks do not deadlock, a client closes cleanly with callbacks pending.
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import tyx_client
from conftest import DEADLINE, Recorder


@pytest.mark.parametrize("error", [ValueError("boom"), SystemExit(3), KeyboardInterrupt()],
                         ids=["ValueError", "SystemExit", "KeyboardInterrupt"])
def test_an_exception_in_a_listener_is_reported_and_the_process_goes_on(client, recorder, capfd, error):
    class Raising(tyx_client.Listener):
        calls = 0

        def on_update(self, client, cluster_name, update):
            Raising.calls += 1
            raise error

    client.listener_add(Raising())
    client.subscribe("sb", "Boom")
    for i in range(2):
        client.publish_object("sb", "Boom", "b-%d" % i, {"n": np.int32(i)})
    recorder.wait_update(lambda u: u.object_id == "b-1")
    name = type(error).__name__
    # One report per raising call, each to every listener of the client.
    log = recorder.wait_for(lambda e: e[0] == "log" and "raised " + name in e[2], count=2)
    assert log[1] == 3 and log[2].startswith("Python callback on_update raised " + name)
    assert Raising.calls == 2
    # Still working, and the traceback went to standard error.
    assert client.sql("sb", "SELECT COUNT(*) AS n FROM Boom").to_numpy()["n"][0] == 2
    err = capfd.readouterr().err
    assert "tyx_client: exception in on_update" in err and "Traceback" in err and name in err


def test_an_exception_in_a_query_callback_is_reported_the_same_way(client, recorder, capfd):
    def broken(result):
        raise RuntimeError("bad callback")

    client.sql_async("sb", "SELECT 1 AS one", broken)
    recorder.wait_for(lambda e: e[0] == "log" and "sql_async callback raised RuntimeError: bad callback" in e[2])
    assert "RuntimeError: bad callback" in capfd.readouterr().err


# Runs in a child interpreter so that a deadlock fails the test at its timeout instead of
# hanging the run.
DEADLOCK_SCENARIO = textwrap.dedent("""
    import threading, time
    import numpy as np
    import tyx_client

    N = 200
    seen = []
    all_seen = threading.Event()

    class Blocking(tyx_client.Listener):
        def on_update(self, client, cluster_name, update):
            # A blocking call from the notification thread while other threads block too.
            client.sql("sb", "SELECT 1 AS one")
            seen.append(update.object_id)
            if len(seen) == N:
                all_seen.set()

    with tyx_client.Sandbox() as sandbox:
        client = tyx_client.TyxClient()
        client.listener_add(Blocking())
        client.add_cluster(sandbox.cluster("sb"))
        client.subscribe("sb", "Ticks")

        def query_loop():
            for _ in range(30):
                assert client.sql("sb", "SELECT COUNT(*) AS n FROM Ticks").row_count() == 1

        threads = [threading.Thread(target=query_loop) for _ in range(2)]
        for t in threads:
            t.start()
        for i in range(N):
            client.publish_object("sb", "Ticks", "t-%d" % i, {"n": np.int32(i)})
        for t in threads:
            t.join()
        assert all_seen.wait(20), len(seen)

        # Close with Python callbacks still pending, then a client closed from its own callback.
        for i in range(N):
            client.publish_object("sb", "Ticks", "u-%d" % i, {"n": np.int32(i)})
        client.close()

        closed_inside = threading.Event()

        class Closer(tyx_client.Listener):
            def on_update(self, client, cluster_name, update):
                if client is not None and not client.closed:
                    client.close()
                    closed_inside.set()

        other = tyx_client.TyxClient()
        other.listener_add(Closer())
        other.add_cluster(sandbox.cluster("sb"))
        other.subscribe("sb", "Ticks", wait=False)  # a waiting call would end with RuntimeError at the close
        assert closed_inside.wait(20)
        assert other.closed
    print("finished")
""")


def test_blocking_calls_and_callbacks_in_other_threads_do_not_deadlock():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", DEADLOCK_SCENARIO], env=env, capture_output=True, text=True,
                         timeout=45)
    assert run.returncode == 0 and run.stdout.strip() == "finished", run.stderr[-3000:]
