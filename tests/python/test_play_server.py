"""The play page's server without a browser: what it refuses (token, Host, Origin, bodies, moves
out of turn, a 65th game), that a refusal changes nothing, the moves it takes, and the command's
options."""

from __future__ import annotations

import http.client
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from tavrin_rl import PyTavrin
from tavrin_rl.catalogue import ORIENTATION_CELLS, encode_action, placed_cells
from tavrin_rl.human import explain
from tavrin_rl.play.server import MAX_BODY, PlayServer
from tavrin_rl.play.tables import Tables


@pytest.fixture
def server():
    server = PlayServer("127.0.0.1", 0, ("human", "greedy", "reach", "random"), seed=3, pause=0)
    server.serve_in_thread()
    yield server
    server.shutdown()
    server.server_close()


def request(server, method, path, body=None, headers=None, raw=None):
    """(status, JSON answer or bytes) of one request on a new connection."""
    host, port = server.server_address[:2]
    connection = http.client.HTTPConnection(host, port, timeout=30)
    sent = {"Host": f"127.0.0.1:{port}", "Content-Type": "application/json"}
    sent.update(headers or {})
    if "Content-Length" in sent:  # announced, not sent: the server must refuse it unread
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in sent.items():
            connection.putheader(name, value)
        connection.endheaders()
    else:
        data = raw if raw is not None else (None if body is None else json.dumps(body).encode())
        connection.request(method, path, body=data, headers=sent)
    answer = connection.getresponse()
    payload = answer.read()
    connection.close()
    kind = answer.getheader("Content-Type", "")
    return answer.status, json.loads(payload) if kind.startswith("application/json") else payload


def api(server, name, body, **options):
    return request(server, "POST", f"/{server.token}/api/{name}", body, **options)


def board_move(agent, index):
    return [list(cell) for cell in placed_cells(agent, index)]


def test_the_page_and_a_move_through_the_protocol(server):
    status, page = request(server, "GET", f"/{server.token}/")
    assert status == 200 and b'id="board"' in page and b"TavrinBoard.paint" in page
    status, state = api(server, "new", {})
    assert status == 200 and state["mover"] == 0 and state["turns"] == 0
    _, other = api(server, "new", {})  # another tab's game
    game = PyTavrin()
    legal = [i for i, bit in enumerate(game.observe(0).action_mask) if bit]
    # The legal placements the page gets are the engine's, in board cells.
    keys = {",".join(str(r * 20 + c) for r, c in sorted(placed_cells(0, i))) for i in legal}
    assert {key for found in state["legal"].values() for key in found} == keys
    status, after = api(server, "move", {"game": state["game"], "turn": 0,
                                         "cells": board_move(0, legal[-1])})
    assert status == 200 and after["events"][0]["cells"] == board_move(0, legal[-1])
    table = server.tables.get(state["game"])
    for _ in range(200):  # the agents move on their own thread
        status, state = api(server, "state", {"game": state["game"], "since": 1})
        if state["mover"] == 0 and not state["thinking"]:
            break
        time.sleep(0.02)
    assert state["turns"] == 4 and [e["agent"] for e in state["events"]] == [1, 2, 3]
    game.step(legal[-1])
    for agent, index in table.turns[1:]:
        game.step(index)
    assert game.to_bytes() == table.game.to_bytes()
    _, other = api(server, "state", {"game": other["game"], "since": 0})
    assert other["turns"] == 0 and other["game"] != state["game"]  # untouched by the first
    status, saved = request(server, "GET", f"/{server.token}/save/{state['game']}/state")
    assert status == 200 and PyTavrin.from_bytes(saved).to_bytes() == game.to_bytes()
    status, replay = request(server, "GET", f"/{server.token}/save/{state['game']}/replay")
    assert status == 200 and b"TavrinBoard.paint" in replay


def test_refusals_change_nothing(server):
    status, state = api(server, "new", {})
    table = server.tables.get(state["game"])
    before = table.game.to_bytes()
    token = server.token
    port = server.server_address[1]
    good = {"game": state["game"], "turn": 0, "cells": [[0, 0]]}
    refused = {
        "no token": request(server, "POST", "/api/move", good),
        # one character changed, never to itself (a token ending in "x" would stay right)
        "wrong token": request(server, "POST", f"/{token[:-1]}{'y' if token[-1] == 'x' else 'x'}"
                                               "/api/move", good),
        "wrong Host": api(server, "move", good, headers={"Host": f"evil.example:{port}"}),
        "other port": api(server, "move", good, headers={"Host": f"127.0.0.1:{port + 1}"}),
        "other Origin": api(server, "move", good, headers={"Origin": "http://evil.example"}),
        "not JSON": api(server, "move", None, raw=b"{cells: 1"),
        "not an object": api(server, "move", [1, 2]),
        "deeply nested": api(server, "move", None, raw=b"[" * 30000 + b"]" * 30000),
        "form body": api(server, "move", good, headers={"Content-Type": "text/plain"}),
        "oversized": api(server, "move", None, headers={"Content-Length": str(MAX_BODY + 1)}),
        "no length": api(server, "move", None, headers={"Content-Length": "-1"}),
        "bad cells": api(server, "move", {**good, "cells": [[0, 20]]}),
        "bool cell": api(server, "move", {**good, "cells": [[True, 0]]}),
        "six cells": api(server, "move", {**good, "cells": [[0, c] for c in range(6)]}),
        "repeated": api(server, "move", {**good, "cells": [[0, 0], [0, 0]]}),
        "no shape": api(server, "move", {**good, "cells": [[0, 0], [5, 5]]}),
        "stale turn": api(server, "move", {**good, "turn": 3}),
        "unknown game": api(server, "move", {**good, "game": "nope"}),
        "game not text": api(server, "state", {"game": 7, "since": 0}),
        "since negative": api(server, "state", {"game": state["game"], "since": -1}),
        "unknown request": api(server, "undo", {}),
        "PUT": request(server, "PUT", f"/{token}/api/move", good),
        "a file's name": request(server, "GET", f"/{token}/../../etc/passwd"),
    }
    expected = {"no token": 403, "wrong token": 403, "wrong Host": 403, "other port": 403,
                "other Origin": 403, "not JSON": 400, "not an object": 400, "deeply nested": 400, "form body": 415,
                "oversized": 413, "no length": 411, "bad cells": 400, "bool cell": 400, "six cells": 400,
                "repeated": 400, "no shape": 400, "stale turn": 409, "unknown game": 404,
                "game not text": 400, "since negative": 400, "unknown request": 404,
                "PUT": 405, "a file's name": 404}
    assert {name: status for name, (status, _) in refused.items()} == expected
    assert all(isinstance(answer["error"], str) and "\n" not in answer["error"]
               for _, answer in refused.values())
    assert table.game.to_bytes() == before and table.turns == []
    # The page's own origin and localhost are fine.
    status, _ = api(server, "state", {"game": state["game"], "since": 0},
                    headers={"Origin": f"http://127.0.0.1:{port}", "Host": f"localhost:{port}"})
    assert status == 200


def test_moves_out_of_turn_and_illegal_ones(server):
    _, state = api(server, "new", {})
    game_id = state["game"]
    status, answer = api(server, "move", {"game": game_id, "turn": 0, "cells": [[10, 10]]})
    orientation = next(o for o, cells in enumerate(ORIENTATION_CELLS) if len(cells) == 1)
    reason = explain(PyTavrin().observe(0), encode_action(orientation, 10, 10))
    assert status == 200 and answer == {"refused": f"I1:0 at 10,10 cannot be played: {reason}"}
    table = server.tables.get(game_id)
    release = threading.Event()
    think = table.agents[1].act
    table.agents[1].act = lambda mask, game: release.wait(30) and think(mask, game=game)
    status, _ = api(server, "move", {"game": game_id, "turn": 0, "cells": [[0, 0]]})
    assert status == 200
    # player_1 is thinking: a second move of the person is refused, and changes nothing.
    before = table.game.to_bytes()
    status, answer = api(server, "move", {"game": game_id, "turn": 1, "cells": [[1, 1]]})
    assert status == 409 and answer["error"] == "not your turn: player_1 (greedy) is to move"
    assert table.game.to_bytes() == before
    release.set()


def test_a_failing_agent_ends_play_with_a_message(server):
    _, state = api(server, "new", {})
    table = server.tables.get(state["game"])

    def broken(mask, game):
        raise RuntimeError("the net is gone")
    table.agents[1].act = broken
    api(server, "move", {"game": state["game"], "turn": 0, "cells": [[0, 0]]})
    for _ in range(500):
        _, state = api(server, "state", {"game": state["game"], "since": 0})
        if not state["thinking"]:
            break
        time.sleep(0.01)
    assert state["failure"] == "player_1 failed: the net is gone" and state["turns"] == 1


def test_a_net_file_gone_or_damaged_since_start_up_is_an_answer(tmp_path):
    import shutil
    from tavrin_rl.agents.base import baseline_path
    net = tmp_path / "net.npz"
    shutil.copyfile(baseline_path(), net)
    server = PlayServer("127.0.0.1", 0, ("human", f"policy:{net}", "random", "mcts:5:guide=policy:"
                                         f"{net}"), seed=1, pause=0)
    server.serve_in_thread()
    try:
        assert api(server, "new", {})[0] == 200
        net.unlink()
        status, answer = api(server, "new", {})
        assert status == 500 and answer["error"] == (
            f"cannot start a game: player_1 (policy:{net}): cannot read {net}: "
            "No such file or directory")
        net.write_bytes(b"PK\x03\x04 not a net")
        status, answer = api(server, "new", {})
        assert status == 500 and f"{net} is not a tavrin_rl policy file" in answer["error"]
        shutil.copyfile(baseline_path(), net)
        assert api(server, "new", {})[0] == 200 and len(server.tables) == 2
    finally:
        server.shutdown()
        server.server_close()


def test_at_most_64_games_the_oldest_idle_dropped():
    tables = Tables(("human", "random", "random", "random"), seed=0, limit=64)
    made = [tables.new() for _ in range(64)]
    tables.get(made[0].ident).state(0)  # the first is used again: the second is now idle longest
    made.append(tables.new())
    assert len(tables) == 64 and made[1].closed
    with pytest.raises(Exception, match="no such game"):
        tables.get(made[1].ident)
    assert tables.get(made[0].ident) is made[0]


def run_command(*words, timeout=60):
    return subprocess.run([sys.executable, "-m", "tavrin_rl", "play", *words],
                          capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("words,message", [
    (["--seat", "4"], "seats are numbers from 0 to 3"),
    (["--seat", "0,0"], "given twice"),
    (["--seat", "²"], "seats are numbers"),
    (["--port", "65536"], "0 to 65535"),
    (["--port", "-1"], "0 to 65535"),
    (["--port", "9" * 5000], "0 to 65535"),
    (["--seat", "1" * 5000], "seats are numbers from 0 to 3"),
    (["--opponents", "mcts:0"], "playouts must be from 1"),
    (["--opponents", "greedy,reach"], "give one agent, or 3"),
    (["--opponents", "policy:/nonexistent/net.npz"], "--opponents: policy:"),
    (["--host", "0.0.0.0"], "'0.0.0.0' is a wildcard address, which is refused: the server must "
                            "know the one address it is reached at"),
    (["--pause", "nan"], "0 to 10 seconds"),
    (["--seat", "0,1,2,3", "--opponents", "reach"], "every seat is yours"),
    (["--seed", "-1"], "--seed: must be"),
])
def test_bad_options_are_refused_before_starting(words, message):
    done = run_command("--no-browser", *words)
    assert done.returncode == 2 and message in done.stderr and done.stdout == ""


@pytest.mark.parametrize("host", ["0", "0.0", "[0.0.0.0]", "0x0", "::0", "0:0:0:0:0:0:0:0",
                                  "::ffff:0.0.0.0", "[::]", " 0.0.0.0 ", "", "*"])
def test_every_spelling_of_the_wildcard_is_refused(host, capsys):
    from tavrin_rl.play.command import build_parser
    with pytest.raises(SystemExit) as stopped:
        build_parser().parse_args(["--host", host])
    assert stopped.value.code == 2
    assert "is a wildcard address, which is refused" in capsys.readouterr().err
    with pytest.raises(ValueError, match="wildcard"):  # nor does the server take one
        PlayServer(host, 0, ("human", "random", "random", "random"), seed=0)


def test_hosts_resolve_once_to_the_address_bound(capsys):
    from tavrin_rl.play.command import build_parser
    assert build_parser().parse_args(["--host", "localhost"]).host == "127.0.0.1"
    assert build_parser().parse_args(["--host", "[::1]"]).host == "::1"
    with pytest.raises(SystemExit):
        build_parser().parse_args(["--host", "x" * 300])  # the resolver's own failure
    assert "cannot resolve" in capsys.readouterr().err


def test_ctrl_c_while_the_nets_load_is_one_line(monkeypatch, capsys):
    from tavrin_rl.agents.config import AgentConfig
    from tavrin_rl.play import command

    def interrupted(self):
        raise KeyboardInterrupt
    monkeypatch.setattr(AgentConfig, "check", interrupted)
    assert command.main(["--no-browser", "--opponents", "baseline"]) == 130
    assert capsys.readouterr().err == "tavrin_rl: stopped\n"


def test_the_command_serves_until_ctrl_c():
    process = subprocess.Popen([sys.executable, "-m", "tavrin_rl", "play", "--no-browser",
                                "--seed", "4", "--opponents", "random"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = process.stdout.readline()
        address = process.stdout.readline().split()[-1]
        assert first.startswith("tavrin_rl play, seed 4: player_0 you, player_1 random")
        host_port, token = address.split("/")[2], address.split("/")[3]
        connection = http.client.HTTPConnection(host_port, timeout=30)
        connection.request("GET", f"/{token}/")
        assert connection.getresponse().status == 200
        connection.close()
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 130
        assert process.stderr.read().strip().splitlines()[-1] == "tavrin_rl: stopped"
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_another_seat_plays_in_the_board_frame():
    server = PlayServer("127.0.0.1", 0, ("random", "random", "human", "random"), seed=1, pause=0)
    server.serve_in_thread()
    try:
        _, state = api(server, "new", {})
        for _ in range(500):
            if state["legal"]:
                break
            time.sleep(0.02)
            _, state = api(server, "state", {"game": state["game"], "since": 0})
        assert state["mover"] == 2 and state["turns"] == 2
        table = server.tables.get(state["game"])
        mask = table.game.observe(2).action_mask
        keys = {",".join(str(r * 20 + c) for r, c in sorted(placed_cells(2, i)))
                for i, bit in enumerate(mask) if bit}
        assert {key for found in state["legal"].values() for key in found} == keys
        assert all(19 * 20 + 19 in map(int, key.split(",")) for key in keys)  # its corner
        _, answer = api(server, "move", {"game": state["game"], "turn": 2, "cells": [[10, 10]]})
        assert answer["refused"].endswith("your first piece must cover your corner, cell 19,19")
        status, after = api(server, "move", {"game": state["game"], "turn": 2,
                                             "cells": [[19, 19], [18, 19]]})
        assert status == 200 and after["events"][-1]["cells"] in ([[19, 19], [18, 19]],
                                                                   [[18, 19], [19, 19]])
    finally:
        server.shutdown()
        server.server_close()
