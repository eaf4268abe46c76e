"""An expert-iteration run's folder under abuse: a damaged log or checkpoint, a second run on the
folder, a kill while its files are replaced, a full disk and Ctrl-C in the first round each end
in one line and a folder that still resumes. Needs torch and pyarrow; skips without them."""

import fcntl
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

torch = pytest.importorskip("torch", reason="torch is not installed: pip install 'tavrin_rl[train]'")
pytest.importorskip("pyarrow", reason="datasets need pyarrow (pip install 'tavrin_rl[data]')")

from tavrin_rl.train import main as train_main  # noqa: E402

SMALL = ["--expert-games", "4", "--expert-playouts", "8", "--match-games", "8",
         "--expert-epochs", "1", "--seed", "3"]
FILES = ("checkpoint.pt", "log.csv", "policy.npz", "curve.svg")


@pytest.fixture(scope="module")
def one_round(tmp_path_factory):
    folder = tmp_path_factory.mktemp("expert") / "run"
    assert train_main(["--out", str(folder), "--expert", "1", *SMALL]) == 0
    return folder


def copy(run, tmp_path, name="run"):
    folder = tmp_path / name
    shutil.copytree(run, folder)
    return folder


def contents(folder):
    return {name: (folder / name).read_bytes() for name in FILES}


def train(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tavrin_rl", "train", *map(str, args)],
                          capture_output=True, text=True, timeout=600, **kwargs)


def made_run(folder, **state):
    """A run folder after round 1, made by hand: the checks come before any round is played."""
    from tavrin_rl.train.net import PolicyNet
    folder.mkdir()
    nets = PolicyNet(channels=16).state_dict()
    torch.save({"net": nets, "learner": nets, "state": {
        "round": 1, "cpu_s": 1.0, "have_net": False, "seed": 3, "mode": "expert", **state}},
        folder / "checkpoint.pt")
    (folder / "log.csv").write_text("round,games\n1,4\n")
    return folder


def test_a_damaged_log_or_counter_is_refused_in_one_line(tmp_path, capsys):
    for name, change, message in (("log", {}, "log.csv is damaged"),
                                  ("round", {"round": "1"}, "is damaged or not a tavrin_rl"),
                                  ("seed", {"seed": None}, "is damaged or not a tavrin_rl")):
        folder = made_run(tmp_path / name, **change)
        if name == "log":
            (folder / "log.csv").write_text("round,games\nx,4\n")
        assert train_main(["--out", str(folder), "--expert", "2", "--resume", *SMALL]) == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and err.startswith("tavrin_rl train: cannot resume: ") \
            and message in err, err


def test_a_second_run_on_a_held_folder_is_refused(tmp_path, capsys):
    for folder, resume in ((made_run(tmp_path / "run"), ["--resume"]), (tmp_path / "new", [])):
        folder.mkdir(exist_ok=True)
        before = sorted(os.listdir(folder))
        with open(folder / ".lock", "a") as lock:  # another run's hold (the datasets' lock)
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            assert train_main(["--out", str(folder), "--expert", "2", *resume, *SMALL]) == 2
        assert capsys.readouterr().err == (f"tavrin_rl train: {folder} is in use by another run: "
                                           "wait for it to end, or choose another --out\n")
        assert sorted(os.listdir(folder)) == sorted({*before, ".lock"})


@pytest.mark.slow
def test_a_kill_while_files_are_replaced_resumes_as_a_straight_run(one_round, tmp_path):
    straight = copy(one_round, tmp_path, "straight")
    assert train_main(["--out", str(straight), "--expert", "2", "--resume", *SMALL]) == 0
    killed = copy(one_round, tmp_path, "killed")
    (killed / "checkpoint.pt.tmp").write_bytes(b"left by an earlier writer")  # a c93f2a6 folder
    # dies (as a kill would) right after the second of round 2's files is renamed into place
    script = textwrap.dedent(f"""
        import os, sys
        from tavrin_rl.train import main
        renamed, real = [], os.replace
        def replace(src, dst, *a, **k):
            real(src, dst, *a, **k)
            if os.path.basename(str(dst)) in {FILES!r}:
                renamed.append(dst)
                if len(renamed) == 2:
                    os._exit(9)
        os.replace = replace
        sys.exit(main({["--out", str(killed), "--expert", "2", "--resume", *SMALL]!r}))
    """)
    assert subprocess.run([sys.executable, "-c", script], timeout=600).returncode == 9
    assert train_main(["--out", str(killed), "--expert", "2", "--resume", *SMALL]) == 0
    with np.load(killed / "policy.npz") as a, np.load(straight / "policy.npz") as b:
        assert all(np.array_equal(a[k], b[k]) for k in a.files if k != "format")
    a, b = (torch.load(f / "checkpoint.pt", weights_only=True) for f in (killed, straight))
    assert a["state"]["round"] == b["state"]["round"] == 2
    assert all(torch.equal(a["learner"][k], b["learner"][k]) for k in a["learner"])
    assert not [name for name in os.listdir(killed) if "tmp" in name or "replacing" in name]


@pytest.mark.slow
def test_a_full_disk_ends_in_one_line_and_keeps_the_files(one_round, tmp_path):
    import resource
    folder = copy(one_round, tmp_path)
    before = contents(folder)

    def small_disk():
        resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))
    done = train("--out", folder, "--expert", "2", "--resume", *SMALL, preexec_fn=small_disk)
    assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith("tavrin_rl train: cannot write ") and "File too large" in \
        done.stderr and "keeps the last complete round" in done.stderr, done.stderr
    assert contents(folder) == before


def test_ctrl_c_in_the_first_round_points_at_a_checkpoint_that_resumes(tmp_path, monkeypatch,
                                                                        capsys):
    from tavrin_rl import data

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt
    monkeypatch.setattr(data, "write_dataset", interrupted)
    folder = tmp_path / "run"
    pointed = f"the last checkpoint is in {folder / 'checkpoint.pt'} (--resume)"
    assert train_main(["--out", str(folder), "--expert", "1", *SMALL]) == 130
    assert pointed in capsys.readouterr().out
    # the resume it suggests loads (and is stopped in the same round again)
    assert train_main(["--out", str(folder), "--expert", "1", "--resume", *SMALL]) == 130
    captured = capsys.readouterr()
    assert "rounds 1 to 1" in captured.out and pointed in captured.out and not captured.err
