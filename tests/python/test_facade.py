# The TyxClient operations beyond publishing and SQL reach the servers as the C++ ones do.
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
