"""The one file writer: a failure keeps the old file and leaves no temporary; a group of files is
replaced all or none across a kill at any point."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tavrin_rl import _atomic


def test_a_failed_write_keeps_the_old_file_and_no_temporary(tmp_path: Path) -> None:
    target = tmp_path / "out.txt"
    target.write_text("old")

    def fails(file: object) -> None:
        file.write(b"half")  # type: ignore[attr-defined]
        raise OSError(28, "No space left on device")

    with pytest.raises(OSError) as raised:
        _atomic.write_file(target, fails)
    assert raised.value.filename == str(target)  # the file the user named, not a temporary
    assert target.read_text() == "old"
    assert os.listdir(tmp_path) == ["out.txt"]
    # A link is followed: the file it leads to is replaced and the link stays.
    link = tmp_path / "link"
    link.symlink_to(target)
    _atomic.write_file(link, "new")
    assert link.is_symlink() and target.read_text() == "new"
    # Two temporaries for one target never share a name (two runs in one folder).
    assert _atomic.temporary_path(target) != _atomic.temporary_path(target)


_CHILD = textwrap.dedent("""
    import os, sys
    from tavrin_rl import _atomic
    folder, stop_at = sys.argv[1], int(sys.argv[2])
    calls = 0
    real_replace, real_fsync = os.replace, os.fsync

    def counted(original):
        def call(*args):
            global calls
            calls += 1
            if calls == stop_at:
                os._exit(9)  # a kill: nothing after this runs
            return original(*args)
        return call

    _atomic.os.replace = counted(real_replace)
    _atomic.os.fsync = counted(real_fsync)
    _atomic.replace_together([(os.path.join(folder, name), "new " + name) for name in "abcd"])
""")


def test_a_group_is_all_or_none_across_a_kill(tmp_path: Path) -> None:
    outcomes = set()
    for stop_at in range(1, 30):
        folder = tmp_path / str(stop_at)
        folder.mkdir()
        for name in "abcd":
            (folder / name).write_text("old " + name)
        done = subprocess.run([sys.executable, "-c", _CHILD, str(folder), str(stop_at)],
                              check=False).returncode == 0
        _atomic.recover(folder)
        contents = {(folder / name).read_text().split()[0] for name in "abcd"}
        assert len(contents) == 1, f"killed at call {stop_at}: a mix of old and new files"
        assert sorted(os.listdir(folder)) == list("abcd"), f"left over at call {stop_at}"
        outcomes |= contents
        if done:
            assert contents == {"new"}
            break
    else:
        pytest.fail("the group never completed")
    assert outcomes == {"old", "new"}  # kills before and after the journal were both tried
