"""The training log in TensorBoard's format: each number of a row at the row's step, a row
written again adds only its new values, a resumed run's old rows are not written twice."""

import pytest

pytest.importorskip("torch", reason="torch is not installed: pip install 'tavrin_rl[train]'")
pytest.importorskip("tensorboard", reason="tensorboard is not installed: pip install 'tavrin_rl[train]'")

from tensorboard.backend.event_processing.event_accumulator import EventAccumulator  # noqa: E402

from tavrin_rl.train.tensorboard import TensorBoardLog  # noqa: E402


def scalars(directory):
    events = EventAccumulator(str(directory))
    events.Reload()
    return {tag: [(e.step, round(e.value, 4)) for e in events.Scalars(tag)]
            for tag in events.Tags()["scalars"]}


def test_rows_become_scalars_once(tmp_path):
    first = {"update": 1, "phase": "ppo random", "train_win_share": 0.25, "eval_greedy": ""}
    with TensorBoardLog(tmp_path / "a") as log:
        log.write(first)
        log.write({**first, "eval_greedy": 0.5})  # the evaluation joins the last row
        log.write({"update": 2, "phase": "ppo random", "train_win_share": 0.5, "policy_loss": "nan"})
    assert scalars(tmp_path / "a") == {"train_win_share": [(1, 0.25), (2, 0.5)], "eval_greedy": [(1, 0.5)]}
    # Resumed: the rows read back from log.csv (strings) are not written again.
    with TensorBoardLog(tmp_path / "a", written=[{"update": "1", "train_win_share": "0.25"}]) as log:
        log.write({"update": "1", "train_win_share": "0.25"})
        log.write({"update": 3, "train_win_share": 0.75})
    assert scalars(tmp_path / "a")["train_win_share"] == [(1, 0.25), (2, 0.5), (3, 0.75)]
    with pytest.raises(ValueError, match="'update'"):
        TensorBoardLog(tmp_path / "b").write({"phase": "clone"})


def test_a_training_run_writes_its_log_there(tmp_path):
    from tavrin_rl.train.cli import main as train_main
    assert train_main(["--out", str(tmp_path / "run"), "--updates", "1", "--games", "16",
                       "--eval-every", "0", "--no-progress", "--tensorboard", str(tmp_path / "tb")]) == 0
    assert [step for step, _ in scalars(tmp_path / "tb")["train_win_share"]] == [1]
