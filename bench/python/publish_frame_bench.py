#!/usr/bin/python3
# TyxClient.publish_frame of a DataFrame beside a C++ loop of Client::publish_object over the
# same rows pre-built as C++ field values, both in this process to a counting sandbox relay.
# Run with the built module on the path (a Release build for figures worth quoting):
#   PYTHONPATH=build-rel/python /usr/bin/python3 bench/python/publish_frame_bench.py [ROWS] [REPEATS]
# Both rates are given by the wall clock and by the CPU time of the publishing thread: on a
# machine shared with other work the second is the steadier comparison.
import sys
import time

import numpy as np
import pandas as pd

import tyx_client

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
REPEATS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
DEADLINE = 120.0  # seconds for the relay to read one run


def make_frame(n):
    rng = np.random.default_rng(7)
    return pd.DataFrame({
        "id": ["o-%d" % i for i in range(n)],
        "qty": rng.integers(1, 10_000, n, dtype=np.int64),
        "px": np.round(rng.random(n) * 100, 2),
        "size": rng.random(n),
        "venue": rng.choice(["XNYS", "XLON", "XPAR", "XTKS"], n).astype(object),
    })


def run(sandbox, publish):
    """(wall, CPU) seconds of one publishing call; returns once the relay has read every row."""
    sandbox.relay_clear()
    seconds = publish()
    if not sandbox.wait_for_lines(ROWS, DEADLINE):
        sys.exit("the relay did not read %d lines within %.0f s" % (ROWS, DEADLINE))
    return seconds


def main():
    frame = make_frame(ROWS)
    with tyx_client.Sandbox(relay_counting_only=True) as sandbox, tyx_client.TyxClient() as client:
        client.add_cluster(sandbox.cluster("bench"))
        if not sandbox.wait_for_logins(1, DEADLINE):
            sys.exit("no login")

        def frame_call():
            wall, cpu = time.perf_counter(), time.thread_time()
            assert client.publish_frame("bench", "Quotes", frame, "id") == ROWS
            return time.perf_counter() - wall, time.thread_time() - cpu

        def cpp_loop():
            return tyx_client._native._publish_objects_cpp(client, "bench", "Quotes", frame, "id")

        frame_times, cpp_times = [], []
        for _ in range(REPEATS):  # interleaved, so that both see the same machine
            cpp_times.append(run(sandbox, cpp_loop))
            frame_times.append(run(sandbox, frame_call))

    print("rows: %d of 5 columns (str id, int64, float64, float64, str), best of %d" % (ROWS, REPEATS))
    for i, clock in enumerate(["wall clock", "thread CPU"]):
        frame_rate = ROWS / min(t[i] for t in frame_times)
        cpp_rate = ROWS / min(t[i] for t in cpp_times)
        print("%s: publish_frame (conversion included) %10.0f rows/s, C++ publish_object loop %10.0f rows/s,"
              " ratio %.2f (target >= 0.8)" % (clock, frame_rate, cpp_rate, frame_rate / cpp_rate))


if __name__ == "__main__":
    main()
