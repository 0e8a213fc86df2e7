#!/usr/bin/python3
# The Python module in one go: a listener receiving updates, publishing from a dict, a query as a
# DataFrame and a DataFrame uploaded as a table. Needs only the module (it starts its own sandbox).
import threading

import numpy as np
import pandas as pd

import tyx_client


class Updates(tyx_client.Listener):
    def __init__(self):
        self.arrived = threading.Event()

    def on_update(self, client, cluster_name, update):
        print("update:", update.table_name, update.object_id, update.row)
        self.arrived.set()

    def on_log(self, client, cluster_name, level, message):
        print("log %d from %s: %s" % (level, cluster_name, message))


def main():
    with tyx_client.Sandbox() as sandbox, tyx_client.TyxClient() as client:
        updates = Updates()
        client.listener_add(updates)
        client.add_cluster(sandbox.cluster("demo"))  # or a Cluster of your platform's servers

        client.subscribe("demo", ["Orders"])
        client.publish_object("demo", "Orders", "o-1", {"qty": np.int32(7), "px": 101.25, "venue": "XNYS"})
        if not updates.arrived.wait(10):
            raise SystemExit("no update within 10 s")

        prices = pd.DataFrame({"sym": ["AAA", "BBB"], "px": [10.5, 20.25], "lots": np.array([1, 2], dtype=np.int32)})
        client.sql_replace("demo", prices, table_name="prices")
        frame = client.sql("demo", "SELECT * FROM prices ORDER BY sym").to_pandas()
        print(frame)
        print(frame.dtypes.to_dict())
        pd.testing.assert_frame_equal(frame, prices)


if __name__ == "__main__":
    main()
