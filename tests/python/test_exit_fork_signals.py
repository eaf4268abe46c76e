"""Calls that wait without the interpreter (render's write, the batched engine's work) under
program exit, fork and signals, each case in its own interpreter with a deadline, so a crash fails
through the exit status and a hang fails through the timeout instead of blocking the suite."""

import importlib.util
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork, pipe sizes and signals as on Linux")

DEADLINE = 20  # seconds for one child interpreter; a healthy one needs well under one

# Each exit case is repeated: the crash depended on where the daemon thread was when the
# interpreter shut down, and struck in about two runs of three on 3.11 and in every run on 3.13.
EXIT_RUNS = 8


def run(code: str, args: list[str] = [], **kwargs) -> subprocess.CompletedProcess:  # noqa: B006 (never changed)
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                              timeout=DEADLINE, **kwargs)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"the child interpreter hung; stderr so far: {e.stderr!r}")


def assert_clean_exit(result: subprocess.CompletedProcess) -> None:
    assert result.returncode == 0, f"exit status {result.returncode}, stderr: {result.stderr}"
    assert "FATAL" not in result.stderr and "Traceback" not in result.stderr, result.stderr


class TestExitInsideACall:
    """A daemon thread inside a call that released the interpreter when the program ends: the
    interpreter ends it with a forced unwind as it comes back, which must pass through untouched."""

    def test_daemon_threads_rendering(self):
        code = """
            import os, threading, time
            from tavrin_rl._tavrin import PyTavrin
            os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
            games = [PyTavrin() for _ in range(2)]
            for g in games:
                g.step(0)
                threading.Thread(target=lambda g=g: [g.render() for _ in iter(int, 1)], daemon=True).start()
            time.sleep(0.1)
        """
        for _ in range(EXIT_RUNS):
            assert_clean_exit(run(code))

    @pytest.mark.slow
    def test_many_daemon_threads_rendering_as_the_exit_stops_them(self):
        # Without the GIL the exit stops the world and frees the other threads' states; a thread
        # that detached for its write just then finished detaching on its freed state (a crash in
        # drop_gil, about one run in 300 on a loaded machine). Six threads and an exit at a
        # different moment each run widen the window.
        code = """
            import os, sys, threading, time
            from tavrin_rl._tavrin import PyTavrin
            os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
            for _ in range(6):
                g = PyTavrin()
                g.step(0)
                threading.Thread(target=lambda g=g: [g.render() for _ in iter(int, 1)], daemon=True).start()
            time.sleep(0.02 + 0.003 * int(sys.argv[1]))
        """
        for moment in range(EXIT_RUNS * 3):
            assert_clean_exit(run(code, args=[str(moment)]))

    def test_human_render_mode_stepped_in_a_daemon_thread(self):
        if importlib.util.find_spec("pettingzoo") is None:
            pytest.skip("pettingzoo is not installed")
        code = """
            import os, threading, time
            import tavrin_rl
            os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
            def play():
                env = tavrin_rl.env(render_mode="human")
                while True:
                    env.reset(seed=1)
                    for agent in env.agent_iter():
                        obs, _, term, trunc, _ = env.last()
                        env.step(None if term or trunc else env.action_space(agent).sample(obs["action_mask"]))
            threading.Thread(target=play, daemon=True).start()
            time.sleep(0.5)
        """
        for _ in range(EXIT_RUNS // 2):
            assert_clean_exit(run(code))


    def test_batched_engine_stepped_in_a_daemon_thread(self):
        code = """
            import threading, time
            from tavrin_rl.vector import VectorGames
            v = VectorGames(num_games=8, seed=0, observation=None, threads=1)
            def play():
                while True:
                    v.step(v.sample_actions())
            threading.Thread(target=play, daemon=True).start()
            time.sleep(0.2)
        """
        for _ in range(EXIT_RUNS // 2):
            assert_clean_exit(run(code))


def test_fork_while_another_thread_is_stuck_rendering():
    # A thread blocks in render on a pipe nobody reads (its capacity cut below one picture). The
    # game is not borrowed while it waits, and a child forked meanwhile can render and play.
    code = """
        import fcntl, os, sys, threading, time, traceback, warnings
        from tavrin_rl._tavrin import PyTavrin
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
        os.dup2(write_end, 1)
        g = PyTavrin()
        threading.Thread(target=g.render, daemon=True).start()
        time.sleep(0.2)
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
                g.render()
                g.step(0)
                g.reset()
                g.render()
                status = 0
            except BaseException:
                traceback.print_exc()
            finally:
                os._exit(status)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                g.step(0)  # nor does the parent's stuck render hold one
                sys.exit(os.waitstatus_to_exitcode(status))
            time.sleep(0.01)
        os.kill(pid, 9)
        sys.exit("the forked child hung")
    """
    assert_clean_exit(run(code))


def test_batched_engine_in_a_forked_child():
    # The pool's worker threads stay behind in the parent: the child steps on its own thread with
    # the same results, and ends without waiting for workers it does not have.
    code = """
        import os, sys, time, warnings
        import numpy as np
        from tavrin_rl.vector import VectorGames
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        v = VectorGames(num_games=8, seed=0, observation=None, threads=2)
        v.step(v.sample_actions())
        actions = v.sample_actions()
        pid = os.fork()
        if pid == 0:
            v.step(actions)
            sys.stdout.write(v.to_bytes().tobytes().hex())
            sys.exit(0)  # through the interpreter's teardown, which frees the engine
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                v.step(actions)
                sys.stdout.write(v.to_bytes().tobytes().hex())
                sys.exit(os.waitstatus_to_exitcode(status))
            time.sleep(0.01)
        os.kill(pid, 9)
        sys.exit("the forked child hung")
    """
    result = run(code)
    assert_clean_exit(result)
    half = len(result.stdout) // 2
    assert half and result.stdout[:half] == result.stdout[half:], "the child's step differs from the parent's"


class TestSignalsDuringABlockedRender:
    """render blocked on a full standard output pipe."""

    @staticmethod
    def start(code: str) -> subprocess.Popen:
        # A shell starts background jobs with SIGINT ignored and Python keeps it ignored, so the
        # child gets the default disposition back, as it would have in a terminal.
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        assert child.stderr.readline() == "ready\n"
        time.sleep(0.3)  # a few pictures fill the pipe; the child is now blocked in write
        return child

    @staticmethod
    def finish(child: subprocess.Popen, drain: bool) -> tuple[str, str]:
        # Reading the pipe would unblock the write and let the eval loop see the signal instead.
        try:
            if not drain:
                child.wait(timeout=DEADLINE)
            return child.communicate(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            child.kill()
            child.communicate()
            pytest.fail("render ignored the signal and stayed blocked")

    def test_ctrl_c_raises_keyboard_interrupt(self):
        child = self.start("""
            import sys
            from tavrin_rl._tavrin import PyTavrin
            g = PyTavrin()
            print("ready", file=sys.stderr, flush=True)
            try:
                while True:
                    g.render()
            except KeyboardInterrupt:
                g.step(0)  # nothing stays borrowed
                print("interrupted", file=sys.stderr, flush=True)
                sys.exit(42)
        """)
        child.send_signal(signal.SIGINT)
        _, err = self.finish(child, drain=False)
        assert child.returncode == 42, err
        assert err == "interrupted\n"

    def test_a_handler_that_returns_lets_the_write_go_on(self):
        renders = 40  # well past what the pipe holds
        child = self.start(f"""
            import signal, sys
            from tavrin_rl._tavrin import PyTavrin
            calls = []
            signal.signal(signal.SIGUSR1, lambda *_: calls.append(1))
            g = PyTavrin()
            print("ready", file=sys.stderr, flush=True)
            for _ in range({renders}):
                g.render()
            print(len(calls), file=sys.stderr, flush=True)
        """)
        child.send_signal(signal.SIGUSR1)
        out, err = self.finish(child, drain=True)
        assert child.returncode == 0, err
        assert err == "1\n"
        # Every picture arrived whole and in order: nothing lost or repeated around the signal.
        picture = out[: len(out) // renders]
        assert out == picture * renders and picture.startswith("  |  0 |") and picture.endswith("|\n")
