"""Expert iteration at small sizes: visit targets line up with the legal entries, a resumed run
repeats a straight one, and bad options are refused before anything is written. Needs torch (the
`[train]` extra) and pyarrow; without them the tests skip, saying so."""

import csv
import subprocess
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch", reason="torch is not installed: pip install 'tavrin_rl[train]'")
pytest.importorskip("pyarrow", reason="datasets need pyarrow (pip install 'tavrin_rl[data]')")

from tavrin_rl import data  # noqa: E402
from tavrin_rl.train import main as train_main  # noqa: E402
from tavrin_rl.train.expert import search_agent, visit_targets  # noqa: E402

SMALL = ["--expert-games", "4", "--expert-playouts", "8", "--match-games", "8",
         "--expert-epochs", "1", "--seed", "3"]


def test_visit_targets_are_the_visit_shares_of_legal_entries(tmp_path):
    path = tmp_path / "d"
    data.write_dataset(path, 2, ("mcts:12", "reach", "mcts:12", "reach"), 1, workers=1, visits=True)
    batch = next(iter(data.open(path, batch_size=500, visits=True)))
    entries, share, searched = visit_targets(batch)
    rows, legal = np.nonzero(batch["action_mask"])
    assert searched.sum() > 10
    for r in np.flatnonzero(searched):
        mine = rows[entries] == r
        start, stop = batch["visit_offsets"][r], batch["visit_offsets"][r + 1]
        assert legal[entries[mine]].tolist() == batch["visit_actions"][start:stop].tolist()
        assert share[mine].sum() == pytest.approx(1.0)
        assert legal[entries[mine]][np.argmax(share[mine])] == batch["action"][r]


def test_a_resumed_run_repeats_a_straight_one(tmp_path, capsys):
    straight, resumed = tmp_path / "straight", tmp_path / "resumed"
    assert train_main(["--out", str(straight), "--expert", "2", *SMALL]) == 0
    assert train_main(["--out", str(resumed), "--expert", "1", *SMALL]) == 0
    assert train_main(["--out", str(resumed), "--expert", "2", "--resume", *SMALL]) == 0
    printed = capsys.readouterr().out
    assert "round 2:" in printed

    def log(folder):
        with open(folder / "log.csv", newline="") as f:
            return [{k: v for k, v in row.items() if not k.endswith("cpu_s")} for row in csv.DictReader(f)]
    assert log(straight) == log(resumed)
    assert [row["round"] for row in log(straight)] == ["1", "2"]
    with np.load(straight / "policy.npz") as a, np.load(resumed / "policy.npz") as b:
        assert all(np.array_equal(a[k], b[k]) for k in a.files if k != "format")
    # small files only: the rounds' datasets are gone
    assert sorted(p.name for p in straight.iterdir() if p.name != ".lock") == [
        "checkpoint.pt", "curve.svg", "log.csv", "policy.npz"]
    assert (straight / "checkpoint.pt").stat().st_size < 2_000_000


@pytest.mark.parametrize("args, message", [
    (["--expert", "0"], "--expert must be at least 1"),
    (["--expert", "2", "--match-games", "2"], "--match-games must be at least 4"),
    (["--expert", "2", "--expert-playouts", "30000"], "at most 20000"),
])
def test_bad_options_are_refused_before_writing(tmp_path, args, message):
    result = subprocess.run([sys.executable, "-m", "tavrin_rl", "train", "--out",
                             str(tmp_path / "run"), *args], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 2 and message in result.stderr
    assert not (tmp_path / "run").exists()


def test_the_search_is_guided_only_when_the_engine_takes_a_guide(tmp_path):
    assert search_agent(50, None) == "mcts:50"
    guided = search_agent(50, tmp_path / "policy.npz")
    assert guided in ("mcts:50", f"mcts:50:reach:guide=policy:{tmp_path / 'policy.npz'}")


def test_a_damaged_or_code_running_checkpoint_is_refused_in_one_line(tmp_path, capsys):
    class Hostile:  # would run code when unpickled
        def __reduce__(self):
            return (open, (str(tmp_path / "ran"), "w"))
    for name, write in (("random", lambda p: p.write_bytes(np.random.default_rng(0).bytes(999))),
                        ("hostile", lambda p: torch.save({"state": {"mode": "expert"},
                                                          "net": Hostile()}, p))):
        run = tmp_path / name
        run.mkdir()
        write(run / "checkpoint.pt")
        assert train_main(["--out", str(run), "--expert", "2", "--resume", *SMALL]) == 2
        assert capsys.readouterr().err == (f"tavrin_rl train: cannot resume: {run / 'checkpoint.pt'}"
                                           " is damaged or not a tavrin_rl checkpoint\n")
    assert not (tmp_path / "ran").exists()
