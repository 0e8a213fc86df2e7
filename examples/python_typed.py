#!/usr/bin/python3
# The module from fully annotated code that mypy --strict accepts: a typed listener, publishing,
# a Table upload and a query joined into a DataFrame. Needs only the module (it starts its own sandbox).
import threading

import numpy as np
import pandas as pd

import tyx_client
from tyx_client import Listener, TableAccessor, TyxClient, Update


class OrderBook(Listener):
    """The latest quantity of each order, from the center's updates."""

    def __init__(self) -> None:
        self.quantities: dict[str, int] = {}
        self.failures: list[str] = []
        self.changed = threading.Condition()

    def on_update(self, client: TyxClient | None, cluster_name: str, update: Update) -> None:
        qty = update.row.get("qty")
        with self.changed:
            if update.action == Update.REMOVED:
                self.quantities.pop(update.object_id, None)
            elif isinstance(qty, int):
                self.quantities[update.object_id] = qty
            self.changed.notify_all()

    def on_log(self, client: TyxClient | None, cluster_name: str, level: int, message: str) -> None:
        if level >= 3:
            self.failures.append(message)

    def wait_for_orders(self, count: int, timeout: float) -> bool:
        with self.changed:
            return self.changed.wait_for(lambda: len(self.quantities) >= count, timeout)


def upload_prices(client: TyxClient, cluster: str) -> None:
    prices = tyx_client.Table("prices")
    prices.add_column("sym", ["AAA", "BBB"]).add_column("px", np.array([10.5, 20.25]))
    client.sql_replace(cluster, prices)


def notional_by_order(client: TyxClient, cluster: str) -> pd.DataFrame:
    result: TableAccessor = client.sql(
        cluster, "SELECT o.id, o.qty * p.px AS notional FROM Orders o JOIN prices p ON o.sym = p.sym ORDER BY o.id"
    )
    if result.error_message():
        raise RuntimeError(result.error_message())
    frame: pd.DataFrame = result.to_pandas()
    return frame


def main() -> None:
    with tyx_client.Sandbox() as sandbox, TyxClient() as client:
        book = OrderBook()
        client.listener_add(book)
        client.add_cluster(sandbox.cluster("demo"))  # or a Cluster of your platform's servers
        client.subscribe("demo", "Orders")

        upload_prices(client, "demo")
        orders: dict[str, tuple[str, int]] = {"o-1": ("AAA", 3), "o-2": ("BBB", 4)}
        for order_id, (sym, qty) in orders.items():
            client.publish_object("demo", "Orders", order_id, {"sym": sym, "qty": np.int32(qty)})
        if client.flush(timeout=10) != 0 or not sandbox.wait_until_stored():
            raise SystemExit("the relay did not store the orders within 10 s")
        if not book.wait_for_orders(len(orders), timeout=10):
            raise SystemExit("no updates within 10 s")
        print("quantities:", book.quantities)

        frame = notional_by_order(client, "demo")
        print(frame)
        assert frame["notional"].tolist() == [31.5, 81.0]
        assert not book.failures, book.failures


if __name__ == "__main__":
    main()
