#!/usr/bin/python3
# A center table kept as a pandas-ready live table, and updates received a frame at a time.
# Needs only the module (it starts its own sandbox).
import numpy as np

import tyx_client


class Batches(tyx_client.Listener):
    updates_as = "pandas"  # the default, "list", gives a list of Update

    def on_updates(self, client, cluster_name, updates):
        print("batch of %d updates:" % len(updates), list(updates["object_id"]))


def main():
    with tyx_client.Sandbox() as sandbox, tyx_client.TyxClient() as client:
        client.listener_add(Batches())
        client.add_cluster(sandbox.cluster("demo"))  # or a Cluster of your platform's servers

        with client.live_table("demo", "Orders") as orders:
            if not orders.wait_for(timeout=10):  # the snapshot (empty here) has arrived
                raise SystemExit("no snapshot within 10 s")
            for i in range(5):
                client.publish_object("demo", "Orders", "o-%d" % i, {"qty": np.int32(i), "px": 100.0 + i})
            client.remove_object("demo", "o-0", "Orders")
            if not orders.wait_for(lambda t: len(t) == 4 and "o-0" not in t.to_pandas().index, timeout=10):
                raise SystemExit("the live table did not catch up within 10 s")
            frame = orders.to_pandas().sort_index()
            print(frame)
            assert list(frame.index) == ["o-1", "o-2", "o-3", "o-4"]
            assert frame["qty"].tolist() == [1, 2, 3, 4]


if __name__ == "__main__":
    main()
