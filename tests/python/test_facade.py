# The TyxClient operations beyond publishing and SQL reach the servers as the C++ ones do.
import base64
import struct
import subprocess
import threading

import pytest

import tyx_client
from conftest import DEADLINE


def test_removal_raw_text_and_commands_reach_the_relay(client, sandbox):
    client.remove_object("sb", "o-1", "Orders", seqnum=43)
    client.publish_raw("sb", b'O|T="Raw"|I="r"|x=1\n')
    client.register_command("sb", tyx_client.CommandDefinition(command_id="c1", name="Cancel", permission_level=2))
    client.send_command_response("sb", "req-1", 0, "done")
    client.send_command_help("sb", "req-2", "usage")
    client.pause_commands("sb", 250)
    assert sandbox.wait_for_lines(7, DEADLINE)  # the login and six more
    assert sandbox.relay_lines()[1:] == [
        'D#43|I="o-1"|T="Orders"',
        'O|T="Raw"|I="r"|x=1',
        'C|I="c1"|N="Cancel"|P=2|O=0',
        'R|I="req-1"|S=0|M="done"|X=""',
        'H|I="req-2"|M="usage"',
        "P|D=250",
    ]


def test_subscription_records_schemas_and_cluster_removal(client, sandbox, recorder):
    client.publish_object("sb", "Quotes", "q-1", {"bid": 1.5, "sym": "AAA"})
    assert sandbox.wait_until_stored(DEADLINE)
    client.subscribe("sb", [tyx_client.CenterSubscription("Quotes")])
    snapshot = recorder.wait_update(lambda u: u.table_name == "Quotes")
    assert snapshot.row == {"bid": 1.5, "sym": "AAA"}
    schema = client.get_table_schema("sb", "Quotes")
    assert [c.name for c in schema.columns] == ["bid", "sym"]
    assert client.get_table_schema("sb", "Nothing") is None
    client.unsubscribe("sb", "Quotes")

    client.remove_cluster("sb")
    result = client.sql("sb", "SELECT 1 AS one")
    assert not result.has_result_set() and result.row_count() == 0
    assert recorder.wait_for(lambda e: e[0] == "log" and e[1] == 3)


def ssh_rsa_line(key_file):
    """The `ssh-rsa` public-key line of an RSA key made by openssl (exponent 65537)."""
    text = subprocess.run(["openssl", "rsa", "-in", str(key_file), "-noout", "-modulus"], check=True,
                          capture_output=True, text=True, timeout=30).stdout
    modulus = int(text.strip().split("=", 1)[1], 16)

    def mpint(v):
        b = v.to_bytes((v.bit_length() + 8) // 8, "big")
        return struct.pack(">I", len(b)) + b

    blob = struct.pack(">I", 7) + b"ssh-rsa" + mpint(65537) + mpint(modulus)
    return "ssh-rsa " + base64.b64encode(blob).decode() + " sandbox\n"


def test_a_tls_sandbox_is_reached_over_tls_with_a_pinned_key(tmp_path):
    key, cert, pinned = tmp_path / "key.pem", tmp_path / "cert.pem", tmp_path / "pinned.pub"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out",
                    str(cert), "-subj", "/CN=localhost", "-days", "1"], check=True, capture_output=True, timeout=30)
    pinned.write_text(ssh_rsa_line(key))
    with tyx_client.Sandbox(certificate_chain_file=str(cert), private_key_file=str(key)) as sandbox, \
            tyx_client.TyxClient() as client:
        cluster = sandbox.cluster("secure")
        cluster.database_config.query_timeout_ms = 5000  # bounds a failing run
        for config in (cluster.publication_config, cluster.subscription_config, cluster.database_config):
            assert config.shards[0].use_ssl
            config.shards[0].ssl.trusted_server_pub_file = str(pinned)
        client.add_cluster(cluster)
        assert client.sql("secure", "SELECT 41 + 1 AS answer").to_numpy()["answer"][0] == 42


def test_a_sandbox_with_faults_injects_and_counts_them():
    with pytest.raises(ValueError, match="a rate is a number from 0 to 1"):
        tyx_client.Sandbox(faults="relay:drop=3")
    with tyx_client.Sandbox(faults="seed=5;relay:drop-after-messages=2") as sandbox, \
            tyx_client.TyxClient() as client:
        client.add_cluster(sandbox.cluster("faulty"))
        client.publish_object("faulty", "T", "t-1", {"v": 1})  # the login and this: dropped
        assert sandbox.wait_for_lines(2, DEADLINE)  # counted with the drop, on the relay's loop
        counts = sandbox.fault_counts()
        assert counts["relay"]["dropped"] >= 1
        assert counts["center"] == dict.fromkeys(counts["center"], 0)


@pytest.mark.parametrize("timeout", [float("inf"), 1e17])
def test_a_sandbox_wait_without_a_useful_limit_waits_for_its_event(client, sandbox, timeout):
    returned = []
    waiter = threading.Thread(target=lambda: returned.append(sandbox.wait_for_objects(1, timeout)), daemon=True)
    waiter.start()
    waiter.join(0.2)
    assert returned == []  # nothing published yet: still waiting, not timed out
    client.publish_object("sb", "T", "t-1", {"v": 1})
    waiter.join(DEADLINE)
    assert returned == [True]


def test_health_is_nested_dicts_and_state_changes_reach_listeners(sandbox):
    class States(tyx_client.Listener):
        def __init__(self):
            self.events = []
            self.seen = threading.Event()

        def on_session_state(self, client, cluster_name, event):
            self.events.append((cluster_name, event["kind"], event["state"]))
            if event["kind"] == "relay" and event["state"] == "up":
                self.seen.set()

    states = States()
    with tyx_client.TyxClient() as c:
        c.listener_add(states)
        c.add_cluster(sandbox.cluster("sb"), wait=True)
        assert states.seen.wait(DEADLINE)
        c.publish_object("sb", "Quotes", "q-1", {"bid": 1.5})
        assert sandbox.wait_until_stored(DEADLINE)
        health = c.health()
    assert ("sb-relay", "relay", "connecting") in states.events
    relay = [s for s in health["sessions"] if s["kind"] == "relay"][0]
    assert relay["cluster"] == "sb" and relay["state"] == "up" and relay["connection_attempts"] == 1
    assert relay["endpoint"]["failover"] == 0 and relay["endpoint"]["port"] == str(sandbox.relay_port)
    assert relay["counters"]["published_messages"] == 1
    database = [s for s in health["sessions"] if s["kind"] == "database"][0]
    assert database["counters"]["response_time"]["count"] == database["counters"]["requests"]
    assert set(health["notifications"]) == {"queued", "delivered", "longest_wait_us", "queued_updates",
                                            "queued_update_bytes", "oldest_wait_us", "holding_back",
                                            "held_back_us"}
