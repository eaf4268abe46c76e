"""Self-play datasets: what a run writes, that it is the same however it is spread, that it
survives failures and interruptions, refuses folders it must not touch, and reads back."""

import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("pyarrow", reason="datasets need pyarrow (pip install 'tavrin_rl[data]')")

from tavrin_rl import PyTavrin  # noqa: E402
from tavrin_rl import data  # noqa: E402
from tavrin_rl.catalogue import ORIENTATION_CELLS, ORIENTATION_KIND, PIECE_CELLS  # noqa: E402
from tavrin_rl.data import _store, _write  # noqa: E402
from faults import failing_once  # noqa: E402
from processes import session_processes  # noqa: E402,F401 (test_data_ray imports it from here)

AGENTS = ("greedy", "random", "reach", "random")


def write(path, games=12, seed=5, **options):
    options.setdefault("workers", 1)
    return data.write_dataset(path, games, AGENTS, seed, **options)


def rows(path):
    """The whole dataset as (plies table, games table)."""
    dataset = data.open(path)
    return dataset.plies(), dataset.games()


def leftovers(path):
    """Files in the dataset folders that the manifest does not list."""
    listed = {name for shard in _store.read_manifest(Path(path))["shards"]
              for name in shard["files"]}
    found = {f"{folder}/{entry.name}" for folder in ("plies", "games")
             for entry in (Path(path) / folder).iterdir()}
    return found - listed


def run_cli(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tavrin_rl", *args], capture_output=True,
                          text=True, timeout=120, **kwargs)


def start_cli(*args, memory=3 << 30):
    """The command in a session of its own, as a terminal starts it, with `memory` bytes of
    address space per process (None: no limit)."""
    def limits():
        if memory is not None:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        # a shell's background job starts with SIGINT ignored; a terminal's does not
        signal.signal(signal.SIGINT, signal.SIG_DFL)
    return subprocess.Popen([sys.executable, "-m", "tavrin_rl", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True,
                            preexec_fn=limits)


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """Twelve games in one process, shards of five games."""
    path = tmp_path_factory.mktemp("reference") / "games"
    write(path, chunk_size=5)
    return path


class TestContents:
    def test_replaying_every_row_gives_the_next_rows_state(self, reference):
        plies, games = rows(reference)
        columns = plies.to_pydict()
        outcome = games.to_pydict()
        game = None
        for i, number in enumerate(columns["game"]):
            state = columns["state"][i]
            if number != game:  # a game's first row is the empty board, player_0 to move
                assert number == (game + 1 if game is not None else 0)
                assert columns["ply"][i] == 0
                assert state == PyTavrin().to_bytes()
                game = number
            replay = PyTavrin.from_bytes(state)
            assert replay.ply == columns["ply"][i]
            assert replay.agent_selection == columns["agent"][i] == state[277]
            replay.step(columns["action"][i])  # raises if the action was not legal there
            while not replay.is_over and replay.terminations[replay.agent_selection]:
                replay.step(None)
            last = i + 1 == len(columns["game"]) or columns["game"][i + 1] != number
            if not last:
                assert replay.to_bytes() == columns["state"][i + 1]
                continue
            assert replay.is_over  # the game's rows end where the game does
            assert replay.scores == outcome["scores"][number]
            assert replay.ply == outcome["plies"][number]
            for mode in PyTavrin.reward_modes:
                assert outcome[f"outcome_{mode}"][number] == pytest.approx(replay.outcome(mode))
        assert game == 11

    def test_every_move_follows_its_agents_rule(self, reference):
        """greedy: the largest piece that fits; reach: of those, the farthest from its corner."""
        size = np.repeat([PIECE_CELLS[kind] for kind in ORIENTATION_KIND], 400)
        farthest = [max(r + c for r, c in cells) for cells in ORIENTATION_CELLS]
        reach = [divmod(a % 400, 20)[0] + a % 20 + farthest[a // 400] for a in range(36400)]
        reach = np.array(reach)
        columns = data.open(reference).plies().to_pydict()
        used = set()
        for state, agent, action in zip(columns["state"], columns["agent"], columns["action"]):
            game = PyTavrin.from_bytes(state)
            legal = np.flatnonzero(np.frombuffer(game.observe(agent).action_mask, bool))
            assert action in legal
            rule = AGENTS[agent]
            if rule == "random":
                continue
            top = legal[size[legal] == size[legal].max()]
            assert action in top
            if rule == "reach":
                assert reach[action] == reach[top].max()
                used.add(len(top[reach[top] == reach[action]]) > 1)  # a tie was broken
        assert used == {True, False}

    def test_games_rows_and_manifest(self, reference):
        games = data.open(reference).games().to_pydict()
        assert games["game"] == list(range(12))
        assert games["seed"] == [data.game_seed(5, n) for n in range(12)]
        assert games["agents"] == [list(AGENTS)] * 12
        manifest = json.loads((reference / "manifest.json").read_text())
        assert manifest["status"] == "complete"
        assert (manifest["games"], len(manifest["shards"])) == (12, 3)
        assert [shard["games"] for shard in manifest["shards"]] == [5, 5, 2]
        assert manifest["plies"] == sum(games["plies"])
        assert manifest["runs"][0]["seed"] == 5 and manifest["runs"][0]["agents"] == list(AGENTS)
        assert manifest["package_version"]
        assert leftovers(reference) == set()


class TestDeterminism:
    def test_same_rows_whatever_the_workers_and_chunks(self, reference, tmp_path):
        write(tmp_path / "spread", workers=2, chunk_size=3)
        assert rows(tmp_path / "spread") == rows(reference)

    def test_appending_continues_the_game_numbers(self, reference, tmp_path):
        write(tmp_path / "parts", games=7)
        write(tmp_path / "parts", games=5, append=True)
        assert rows(tmp_path / "parts") == rows(reference)
        manifest = _store.read_manifest(tmp_path / "parts")
        assert [run["first_game"] for run in manifest["runs"]] == [0, 7]

    def test_another_seed_other_games(self, reference, tmp_path):
        write(tmp_path / "other", seed=6)
        assert rows(tmp_path / "other")[0] != rows(reference)[0]


class TestFailures:
    @pytest.mark.parametrize("how, workers", [("raise", 1), ("exit", 2)])
    def test_a_chunk_that_fails_once_is_played_again(self, reference, tmp_path, monkeypatch,
                                                     how, workers):
        marker = tmp_path / "failed"
        monkeypatch.setattr(_write, "WORK", failing_once(marker, 5, how))
        write(tmp_path / "games", workers=workers, chunk_size=5)
        assert marker.exists()  # the hook did fire
        assert rows(tmp_path / "games") == rows(reference)  # nothing lost, nothing twice
        assert leftovers(tmp_path / "games") == set()  # the half-written file is gone

    def test_ctrl_c_keeps_complete_shards_and_says_so(self, tmp_path):
        """Also on a run far too long to plan at once: its chunks are planned as they go."""
        out = tmp_path / "games"
        process = start_cli("--games", str(10**12), "--seed", "1", "--out", str(out),
                            "--workers", "2", "--chunk-size", "4")
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            manifest = _store.read_manifest(out)
            if manifest and manifest.get("shards"):
                break
            time.sleep(0.05)
        os.killpg(process.pid, signal.SIGINT)  # the whole group, as a terminal's Ctrl-C does
        stdout, stderr = process.communicate(timeout=60)
        assert process.returncode == 130, stderr
        assert "interrupted" in stderr and "Traceback" not in stderr
        manifest = _store.read_manifest(out)
        assert manifest["status"] == "incomplete"
        run = manifest["runs"][0]
        assert run["status"] == "interrupted"
        assert 0 < manifest["games"] == run["games_written"]
        missing = sum(last - first + 1 for first, last in run["missing"])
        assert missing + manifest["games"] == 10**12
        assert leftovers(out) == set()
        assert not any(".tmp-" in entry.name for entry in out.rglob("*"))
        plies, games = rows(out)
        assert games.num_rows == manifest["games"]
        assert set(plies.column("game").to_pylist()) == set(games.column("game").to_pylist())
        listed = {shard["first_game"] for shard in manifest["shards"]}
        missing = {first for first, _ in run["missing"]}
        assert not listed & missing and min(listed | missing) == 0


    def test_ctrl_c_while_the_workers_start_stops_the_run(self, tmp_path):
        out = tmp_path / "games"
        process = start_cli("--games", "4000", "--seed", "1", "--out", str(out), "--workers", "2",
                            "--chunk-size", "20")
        deadline = time.monotonic() + 60
        while (not session_processes(process.pid, "spawn_main")
               and time.monotonic() < deadline):
            time.sleep(0.005)
        time.sleep(0.05)  # a worker that has started but not yet set itself up
        os.killpg(process.pid, signal.SIGINT)
        _, stderr = process.communicate(timeout=60)
        assert process.returncode == 130, stderr
        manifest = _store.read_manifest(out)
        assert manifest["status"] == "incomplete" and manifest["games"] < 4000

    def test_a_run_that_cannot_write_its_manifest_can_be_run_again(self, tmp_path):
        out = tmp_path / "games"

        def small_files():  # a disk that is full from the start
            resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))

        for retry in ([], ["--overwrite"]):
            failed = run_cli("--games", "3", "--workers", "1", "--out", str(out), *retry,
                             preexec_fn=small_files)
            assert failed.returncode == 1 and "File too large" in failed.stderr
            assert "holds no dataset: the run stopped before its manifest" in failed.stderr
            done = run_cli("--games", "3", "--workers", "1", "--out", str(out), *retry)
            assert done.returncode == 0, done.stderr
            assert data.open(out).num_games == 3


class TestRefusals:
    def test_folders_that_are_not_ours_or_already_full(self, reference, tmp_path):
        foreign = tmp_path / "foreign"
        foreign.mkdir()
        (foreign / "notes.txt").write_text("mine")
        done = run_cli("--games", "2", "--out", str(foreign))
        assert done.returncode == 2
        assert "is not empty and holds no tavrin_rl dataset" in done.stderr
        assert [entry.name for entry in foreign.iterdir()] == ["notes.txt"]

        a_file = tmp_path / "file"
        a_file.write_text("x")
        done = run_cli("--games", "2", "--out", str(a_file))
        assert done.returncode == 2 and "is not a directory" in done.stderr

        before = (reference / "manifest.json").read_text()
        done = run_cli("--games", "2", "--out", str(reference))
        assert done.returncode == 2
        assert "already holds a dataset of 12 games" in done.stderr
        assert "--append" in done.stderr and "--overwrite" in done.stderr
        assert (reference / "manifest.json").read_text() == before

        for bad in (["--workers", "2"], ["--ray"], ["--append"], ["--out", "x", "--watch"],
                    ["--out", "x", "--append", "--overwrite"], ["--out", "x", "--workers", "0"]):
            done = run_cli(*bad, cwd=tmp_path)
            assert done.returncode == 2, bad
            assert not (tmp_path / "x").exists()

    def test_ray_missing_is_refused_before_anything_is_written(self, tmp_path, monkeypatch):
        monkeypatch.setitem(sys.modules, "ray", None)  # import ray now fails
        with pytest.raises(ModuleNotFoundError, match=r"tavrin_rl\[ray\]"):
            write(tmp_path / "games", ray=True)
        assert not (tmp_path / "games").exists()

    def test_overwrite_replaces_the_dataset(self, tmp_path):
        out = tmp_path / "games"
        write(out, games=3, seed=1)
        done = run_cli("--games", "4", "--seed", "2", "--workers", "1", "--out", str(out),
                       "--overwrite")
        assert done.returncode == 0, done.stderr
        assert "wrote games 0 to 3 (4 games" in done.stdout
        manifest = _store.read_manifest(out)
        assert [run["seed"] for run in manifest["runs"]] == [2]
        assert manifest["runs"][0]["command"][1:] == [
            "--games", "4", "--seed", "2", "--workers", "1", "--out", str(out), "--overwrite"]
        assert data.open(out).games().column("seed").to_pylist() == [
            data.game_seed(2, n) for n in range(4)]


class TestReading:
    def test_batches_hold_every_row_in_order(self, reference):
        plies, games = rows(reference)
        batches = list(data.open(reference, batch_size=100, observation=None))
        assert [len(b["action"]) for b in batches[:-1]] == [100] * (len(batches) - 1)
        assert 0 < len(batches[-1]["action"]) <= 100
        joined = {key: np.concatenate([b[key] for b in batches]) for key in batches[0]}
        assert "observation" not in joined
        assert joined["game"].tolist() == plies.column("game").to_pylist()
        assert joined["action"].tolist() == plies.column("action").to_pylist()
        assert joined["agent"].tolist() == plies.column("agent").to_pylist()
        win_share = games.column("outcome_win_share").to_pylist()
        assert joined["outcome"].tolist() == pytest.approx(
            [win_share[g][a] for g, a in zip(joined["game"], joined["agent"])])
        assert joined["action_mask"][np.arange(len(joined["action"])), joined["action"]].all()

    @pytest.mark.parametrize("observation", ["compact", "full"])
    def test_observations_are_the_movers_view(self, reference, observation):
        plies = data.open(reference).plies().slice(0, 70).to_pydict()
        batch = next(iter(data.open(reference, batch_size=70, observation=observation,
                                    reward_mode="rank")))
        for i in (0, 1, 33, 69):
            game = PyTavrin.from_bytes(plies["state"][i])
            seen = game.observe(game.agent_selection)
            planes = np.frombuffer(seen.observation + seen.corners + seen.blocked, np.uint8)
            pieces = np.frombuffer(seen.pieces, np.uint8)
            done = np.frombuffer(seen.done, np.uint8)
            obs = batch["observation"][i]
            if observation == "compact":
                assert obs.shape == (12, 20, 20)
                assert (obs.reshape(-1) == planes).all()
                assert (batch["pieces"][i].reshape(-1) == pieces).all()
                assert (batch["done"][i] == done).all()
            else:
                assert obs.shape == (100, 20, 20)
                assert (obs[:12].reshape(-1) == planes).all()
                assert (obs[12:96, 7, 3] == pieces).all() and (obs[96:, 0, 19] == done).all()
            assert (batch["action_mask"][i] == np.frombuffer(seen.action_mask, bool)).all()

    def test_splits_and_shuffles_keep_every_row_once(self, reference):
        dataset = data.open(reference, batch_size=64, observation=None)
        every = sorted(zip(*[np.concatenate([b[k] for b in dataset]).tolist()
                             for k in ("game", "ply")]))
        parts = [dataset.split(i, 2) for i in range(2)]
        assert sum(part.num_samples for part in parts) == dataset.num_samples == len(every)
        shuffled = data.open(reference, batch_size=64, observation=None, shuffle=True, seed=3)
        for source in (parts, [shuffled]):
            got = sorted(pair for part in source for b in part
                         for pair in zip(b["game"].tolist(), b["ply"].tolist()))
            assert got == every
        order = [b["game"].tolist() for b in shuffled]
        assert order == [b["game"].tolist() for b in shuffled]  # a seed repeats its order
        assert order != [b["game"].tolist() for b in dataset]

    def test_bad_arguments(self, reference, tmp_path):
        with pytest.raises(FileNotFoundError, match="no tavrin_rl dataset"):
            data.open(tmp_path)
        with pytest.raises(ValueError, match="observation"):
            data.open(reference, observation="planes")
        with pytest.raises(ValueError, match="reward_mode"):
            data.open(reference, reward_mode="winner")
        with pytest.raises(ValueError, match="batch_size"):
            data.open(reference, batch_size=0)


class TestUntrustedFolders:
    """A reader trusts nothing in the folder: what the manifest names and what the files hold."""

    @staticmethod
    def edited(reference, tmp_path, change):
        path = tmp_path / "copy"
        shutil.copytree(reference, path)
        manifest = json.loads((path / "manifest.json").read_text())
        change(manifest)
        (path / "manifest.json").write_text(json.dumps(manifest))
        return path

    @pytest.mark.parametrize("name, version, message", [
        ("/etc/passwd", 1, "not a path inside the dataset folder"),
        ("plies/../../outside.parquet", 1, "not a path inside the dataset folder"),
        (None, 4, "format version 4 cannot be read by this tavrin_rl, which reads versions 1, 2, 3"),
        (None, "1", "format version '1' cannot be read"),
    ])
    def test_manifests_naming_files_outside_or_unknown_versions(self, reference, tmp_path, name,
                                                                version, message):
        def change(manifest):
            manifest["format_version"] = version
            if name is not None:
                manifest["shards"][1]["files"][0] = name
        with pytest.raises(ValueError, match=message):
            data.open(self.edited(reference, tmp_path, change))

    def test_version_1_reads(self, reference, tmp_path):
        path = self.edited(reference, tmp_path, lambda m: m.update(format_version=1))
        assert data.open(path).num_samples == data.open(reference).num_samples

    @pytest.mark.parametrize("column, value, message", [
        ("agent", -1, r"plies/000000000005.parquet, row 3: agent -1 is outside 0 to 3"),
        ("state", b"\xff" * 278, r"plies/000000000005.parquet, row 3 \(game 5, ply 3\): "
                                 "invalid state"),
    ])
    def test_bad_rows_are_named_by_file_row_and_game(self, reference, tmp_path, column, value,
                                                     message):
        import pyarrow as pa
        import pyarrow.parquet as pq
        path = self.edited(reference, tmp_path, lambda m: None)
        file = path / "plies" / "000000000005.parquet"
        table = pq.read_table(file)
        values = table.column(column).to_pylist()
        values[3] = value
        index = table.schema.get_field_index(column)
        pq.write_table(table.set_column(index, table.field(column),
                                        pa.array(values, table.field(column).type)), file)
        with pytest.raises(ValueError, match=message):
            list(data.open(path, batch_size=100))


@pytest.mark.slow  # starts torch and two loader workers
def test_torch_example_reads_through_two_loader_workers(tmp_path):
    pytest.importorskip("torch", reason="the torch example needs torch (not installed in CI)")
    example = Path(__file__).resolve().parents[2] / "examples" / "torch_dataset.py"
    write(tmp_path / "games", games=20)
    done = subprocess.run([sys.executable, str(example), str(tmp_path / "games"), "3"],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("step 3: loss ")


SEARCHERS = ("mcts:30", "reach", "mcts:20:greedy", "random")


@pytest.fixture(scope="module")
def searched(tmp_path_factory):
    """Three games of two searching seats with their root visits, shards of two games."""
    path = tmp_path_factory.mktemp("visits") / "games"
    data.write_dataset(path, 3, SEARCHERS, 4, workers=1, chunk_size=2, visits=True)
    return path


class TestVisits:
    """Datasets of search play with the root visits of each searched placement (version 3)."""

    def test_visits_round_trip_beside_the_same_games(self, searched, tmp_path):
        plain = tmp_path / "plain"
        data.write_dataset(plain, 3, SEARCHERS, 4, workers=1, chunk_size=2)
        assert _store.read_manifest(searched)["format_version"] == 3
        assert _store.read_manifest(plain)["format_version"] == 2
        table = data.open(searched).plies()
        assert table.drop_columns(["visits"]).equals(data.open(plain).plies())
        columns = table.to_pydict()
        placed = [0] * 4
        last_game = None
        searched_rows = 0
        for game, agent, action, visits in zip(columns["game"], columns["agent"],
                                               columns["action"], columns["visits"]):
            if game != last_game:
                placed, last_game = [0] * 4, game
            budget = {0: 30, 2: 20}.get(agent)
            if budget is None or placed[agent] < 2:  # other agents and the openings: unsearched
                assert visits is None
            elif visits is not None:
                searched_rows += 1
                counts = {child["action"]: child["visits"] for child in visits}
                assert len(counts) == len(visits)
                assert 0 < sum(counts.values()) <= budget
                assert counts[action] == max(counts.values())  # the most visited is played
            placed[agent] += 1
        assert searched_rows > 20
        # the batches carry the same lists, row for row
        batches = list(data.open(searched, batch_size=40, observation=None, visits=True))
        offsets = [b["visit_offsets"] for b in batches]
        got = [None if not b["searched"][r] else
               list(zip(b["visit_actions"][o[r]:o[r + 1]].tolist(),
                        b["visit_counts"][o[r]:o[r + 1]].tolist()))
               for b, o in zip(batches, offsets) for r in range(len(b["game"]))]
        assert got == [None if v is None else [(c["action"], c["visits"]) for c in v]
                       for v in columns["visits"]]

    def test_appends_keep_the_version_and_older_versions_read(self, searched, reference,
                                                              tmp_path):
        v2 = tmp_path / "v2"
        shutil.copytree(reference, v2)
        with pytest.raises(data.DatasetError, match="without the search's visits"):
            data.write_dataset(v2, 2, SEARCHERS, 1, workers=1, append=True, visits=True)
        data.write_dataset(v2, 2, SEARCHERS, 1, workers=1, append=True)
        assert _store.read_manifest(v2)["format_version"] == 2
        assert "visits" not in data.open(v2).plies().column_names
        with pytest.raises(ValueError, match="holds no search visits"):
            data.open(v2, visits=True)
        v3 = tmp_path / "v3"
        shutil.copytree(searched, v3)
        data.write_dataset(v3, 2, SEARCHERS, 1, workers=1, append=True)
        dataset = data.open(v3, visits=True, observation=None)
        assert dataset.num_games == 5
        assert sum(int(b["searched"].sum()) for b in dataset) > 20

    @pytest.mark.parametrize("damage, message", [
        ("no visits", r"plies/000000000002\.parquet: no 'visits' column"),
        ("random bytes", r"plies/000000000002\.parquet: not a shard of a dataset \(.*magic"),
        ("a folder", r"plies/000000000002\.parquet: not a regular file"),
    ])
    def test_a_damaged_shard_is_named(self, searched, tmp_path, damage, message):
        import pyarrow.parquet as pq
        path = tmp_path / "copy"
        shutil.copytree(searched, path)
        file = path / "plies" / "000000000002.parquet"
        if damage == "no visits":
            pq.write_table(pq.read_table(file).drop_columns(["visits"]), file)
        elif damage == "random bytes":
            file.write_bytes(os.urandom(300))
        else:
            file.unlink()
            file.mkdir()
        with pytest.raises(ValueError, match=message):
            list(data.open(path, visits=True, observation=None))

    @pytest.mark.parametrize("args, message", [
        (["--visits"], "--visits needs --out DIR"),
        (["--visits", "--out", "DIR", "--agents", "reach"], "it needs an mcts seat"),
    ])
    def test_the_command_refuses_visits_without_a_search(self, tmp_path, args, message):
        args = [str(tmp_path / "d") if a == "DIR" else a for a in args]
        result = run_cli("--games", "1", *args)
        assert result.returncode == 2 and message in result.stderr
        assert not (tmp_path / "d").exists()


class TestNets:
    """The nets a run plays by (net seats and searches' guides): recorded with the hash of the
    file they were read from, carried to the tasks, and never kept past the run."""

    @staticmethod
    def baseline_copy(tmp_path, name):
        from tavrin_rl.agents.net import baseline_path
        path = tmp_path / name
        shutil.copyfile(baseline_path(), path)
        return path

    @staticmethod
    def sha256(path):
        import hashlib
        return hashlib.sha256(Path(path).read_bytes()).hexdigest()

    def test_a_run_in_this_process_pins_no_net(self, tmp_path):
        from tavrin_rl.agents import make_agent
        from tavrin_rl.agents.net import Policy, load_policy, save_policy
        net = self.baseline_copy(tmp_path, "net.npz")
        lineup = (f"policy:{net}", "random", "greedy", "random")
        data.write_dataset(tmp_path / "a", 3, lineup, 7, workers=1)
        # the file changes: another net
        weights = Policy.load(net).weights
        rng = np.random.default_rng(0)
        save_policy(net, {k: v * (1 + 0.3 * rng.standard_normal(v.shape)) for k, v in weights.items()})
        new = Policy.load(net).weights["policy.bias"]
        assert np.array_equal(load_policy(net).weights["policy.bias"], new)
        assert np.array_equal(make_agent(f"policy:{net}").policy.weights["policy.bias"], new)
        data.write_dataset(tmp_path / "b", 3, lineup, 7, workers=1)
        elsewhere = tmp_path / "elsewhere.npz"  # the new net under a name never read before
        shutil.copyfile(net, elsewhere)
        data.write_dataset(tmp_path / "c", 3, (f"policy:{elsewhere}", *lineup[1:]), 7, workers=1)
        actions = {name: data.open(tmp_path / name).plies(["action"]) for name in "abc"}
        assert actions["b"].equals(actions["c"]) and not actions["b"].equals(actions["a"])
        run = _store.read_manifest(tmp_path / "b")["runs"][0]
        assert run["policies"][f"policy:{net}"]["sha256"] == self.sha256(net)

    def test_guides_are_recorded_and_carried(self, tmp_path):
        from tavrin_rl.agents.net import baseline_path
        from tavrin_rl.data._play import net_arrays, play_chunk
        guide = self.baseline_copy(tmp_path, "guide.npz")
        lineup = (f"mcts:6:guide=policy:{guide}", "random", "mcts:6:guide=baseline", "random")
        data.write_dataset(tmp_path / "d", 2, lineup, 3, workers=1)
        recorded = _store.read_manifest(tmp_path / "d")["runs"][0]["policies"]
        assert recorded == {
            f"policy:{guide}": {"path": str(guide.resolve()), "sha256": self.sha256(guide)},
            "baseline": {"path": os.path.realpath(baseline_path()),
                         "sha256": self.sha256(baseline_path())}}
        nets, _ = net_arrays(lineup)
        guide.unlink()  # as on a Ray node, which has not the driver's files
        carried = play_chunk(0, 2, lineup, 3, nets=nets)
        assert carried.action.tolist() == data.open(tmp_path / "d").plies(["action"]).column(
            "action").to_pylist()
