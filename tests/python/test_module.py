"""The module and the PyTavrin class: shape, construction, copies, argument matching, borrows."""

import copy
import gc
import inspect
import subprocess
import sys
import weakref

import pytest

import tavrin_rl._tavrin as module
from tavrin_rl._tavrin import PyObservation, PyTavrin

NEW_STATE = b"\x01" + (bytes(64) + b"\xff\xff\x1f\x00" + b"\x00") * 4 + b"\x00"

METHOD_DOCS = {
    "reset": "reset($self)\n--\n\n",
    "copy": "copy($self)\n--\n\nAn independent copy of the game.",
    "__copy__": "__copy__($self)\n--\n\n",
    "__deepcopy__": "__deepcopy__($self, _memo)\n--\n\n",
    "__getstate__": "__getstate__($self)\n--\n\nPickles the game as its `to_bytes` state.",
    "__setstate__": "__setstate__($self, state)\n--\n\n",
    "to_bytes": "to_bytes($self)\n--\n\nThe game state as bytes, restore it with `from_bytes`.",
    "from_bytes": "from_bytes(data)\n--\n\n",
    "outcome": "outcome($self, mode)\n--\n\n"
    "The final rewards in `mode`, one of `reward_modes`, None until the game is over.",
    "observe": "observe($self, agent_idx)\n--\n\n",
    "step": "step($self, action_idx)\n--\n\n",
    "render": "render($self)\n--\n\n",
}

PROPERTY_DOCS = {
    "agents": None,
    "agent_selection": None,
    "terminations": None,
    "rewards": "The score of every agent that is done, None for the others.",
    "scores": "Every agent's official score as if the game ended now.",
    "is_over": None,
    "ply": "The number of placements made so far, by all agents.",
}

# The one-parameter members, with an argument that passes matching on a new game.
ONE_PARAMETER = [
    ("step", "action_idx", 0),
    ("outcome", "mode", "score"),
    ("observe", "agent_idx", 0),
    ("from_bytes", "data", NEW_STATE),
    ("__deepcopy__", "_memo", None),
    ("__setstate__", "state", NEW_STATE),
]


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


class TestModule:
    def test_exports_exactly_the_two_classes(self):
        assert module.__all__[-2:] == ["PyTavrin", "PyObservation"]
        assert module.PyTavrin is PyTavrin and module.PyObservation is PyObservation
        assert module.__doc__ == ""
        assert [name for name in dir(module) if not name.startswith("__")] == ["PyObservation", "PyTavrin"]

    def test_refuses_other_interpreters(self):
        # The classes are made once per process; objects of one interpreter must not reach another.
        # In a child process: once a sub-interpreter has existed, CPython's PyGILState_Check says
        # yes for good, and torch's autograd then refuses to run in this one.
        pytest.importorskip("_testcapi")
        code = ("import _testcapi, sys; "
                "sys.exit(_testcapi.run_in_subinterp('import tavrin_rl._tavrin') != -1)")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0 and "ImportError" in done.stderr, done.stderr

    def test_package_reexports_the_same_objects(self):
        import tavrin_rl

        assert tavrin_rl.PyTavrin is PyTavrin and tavrin_rl.PyObservation is PyObservation


class TestClassShape:
    def test_names(self):
        assert PyTavrin.__module__ == "tavrin_rl._tavrin"
        assert PyTavrin.__name__ == PyTavrin.__qualname__ == "PyTavrin"
        assert PyTavrin.__bases__ == (object,)

    def test_class_signature_and_no_doc_text(self):
        assert PyTavrin.__text_signature__ == "()"
        assert not PyTavrin.__doc__
        assert str(inspect.signature(PyTavrin)) == "()"

    def test_method_docs_and_signatures(self):
        for name, doc in METHOD_DOCS.items():
            member = getattr(PyTavrin, name)
            signature, _, text = doc.partition("\n--\n\n")
            assert member.__doc__ == (text or None), name
            params = signature[signature.index("(") + 1 : -1].split(", ")
            expected = [p.lstrip("$") for p in params if p]
            assert list(inspect.signature(member).parameters) == expected, name
        assert isinstance(inspect.getattr_static(PyTavrin, "from_bytes"), staticmethod)
        bound = PyTavrin().step
        assert str(inspect.signature(bound)) == "(action_idx)"

    def test_properties_are_read_only_with_docs(self):
        game = PyTavrin()
        for name, doc in PROPERTY_DOCS.items():
            prop = vars(PyTavrin)[name]
            assert prop.__doc__ == doc, name
            with pytest.raises(AttributeError):
                setattr(game, name, 0)
            with pytest.raises(AttributeError):
                delattr(game, name)

    def test_no_subclass_dict_weakref_or_gc(self):
        with pytest.raises(TypeError):

            class Sub(PyTavrin):
                pass

        game = PyTavrin()
        with pytest.raises(AttributeError):
            game.extra = 1
        assert not hasattr(game, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(game)
        assert not gc.is_tracked(game)

    def test_class_constants(self):
        assert PyTavrin.num_actions == 36400
        assert PyTavrin.action_grid_shape == (91, 20, 20)
        rows, cols = PyTavrin.action_grid_shape[1:]
        assert PyTavrin.action_grid_shape[0] * rows * cols == PyTavrin.num_actions
        assert PyTavrin.reward_modes == ("score", "win_share", "rank")
        game = PyTavrin()
        assert game.num_actions == 36400 and game.piece_names is PyTavrin.piece_names


class TestConstruction:
    def test_new_game(self):
        game = PyTavrin()
        assert game.agents == [0, 1, 2, 3]
        assert game.agent_selection == 0
        assert game.ply == 0
        assert game.terminations == [False] * 4
        assert game.is_over is False
        assert game.to_bytes() == NEW_STATE

    def test_takes_no_arguments(self):
        with pytest.raises(TypeError) as e:
            PyTavrin(0)
        assert str(e.value) == "PyTavrin.__new__() takes 0 positional arguments but 1 was given"
        with pytest.raises(TypeError) as e:
            PyTavrin(0, 1)
        assert str(e.value) == "PyTavrin.__new__() takes 0 positional arguments but 2 were given"
        with pytest.raises(TypeError) as e:
            PyTavrin(x=0)
        assert str(e.value) == "PyTavrin.__new__() got an unexpected keyword argument 'x'"
        with pytest.raises(TypeError):
            PyTavrin.__new__(PyTavrin, 1)
        assert type(PyTavrin.__new__(PyTavrin)) is PyTavrin

    def test_games_are_independent(self):
        a, b = PyTavrin(), PyTavrin()
        a.step(0)
        assert a.ply == 1 and b.ply == 0

    def test_reset_keeps_the_object(self):
        game = PyTavrin()
        alias = game
        game.step(0)
        game.step(0)
        assert game.reset() is None
        assert alias is game
        assert game.to_bytes() == NEW_STATE
        assert game.agent_selection == 0 and game.ply == 0


class TestCopies:
    @pytest.mark.parametrize(
        "make",
        [
            lambda g: g.copy(),
            lambda g: g.__copy__(),
            lambda g: g.__deepcopy__(None),
            lambda g: g.__deepcopy__(_memo={}),
            copy.copy,
            copy.deepcopy,
        ],
        ids=["copy", "__copy__", "__deepcopy__None", "__deepcopy__kw", "copy.copy", "copy.deepcopy"],
    )
    def test_copy_is_equal_and_independent(self, make):
        game = PyTavrin()
        game.step(0)
        game.step(0)
        twin = make(game)
        assert type(twin) is PyTavrin and twin is not game
        assert twin.to_bytes() == game.to_bytes()
        assert (twin.ply, twin.agent_selection) == (game.ply, game.agent_selection)
        before = game.to_bytes()
        twin.step(0)
        assert game.to_bytes() == before and twin.ply == game.ply + 1
        game.reset()
        assert twin.ply == 3


class TestArgumentMatching:
    @pytest.mark.parametrize("name,param,value", ONE_PARAMETER)
    def test_missing(self, name, param, value):
        with pytest.raises(TypeError) as e:
            getattr(PyTavrin(), name)()
        assert str(e.value) == f"PyTavrin.{name}() missing 1 required positional argument: '{param}'"

    @pytest.mark.parametrize("name,param,value", ONE_PARAMETER)
    def test_too_many(self, name, param, value):
        with pytest.raises(TypeError) as e:
            getattr(PyTavrin(), name)(value, value)
        assert str(e.value) == f"PyTavrin.{name}() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as e:
            getattr(PyTavrin(), name)(value, value, value)
        assert str(e.value) == f"PyTavrin.{name}() takes 1 positional arguments but 3 were given"

    @pytest.mark.parametrize("name,param,value", ONE_PARAMETER)
    def test_unexpected_keyword(self, name, param, value):
        with pytest.raises(TypeError) as e:
            getattr(PyTavrin(), name)(x=value)
        assert str(e.value) == f"PyTavrin.{name}() got an unexpected keyword argument 'x'"
        with pytest.raises(TypeError) as e:
            getattr(PyTavrin(), name)(value, x=value)
        assert str(e.value) == f"PyTavrin.{name}() got an unexpected keyword argument 'x'"

    @pytest.mark.parametrize("name,param,value", ONE_PARAMETER)
    def test_multiple_values(self, name, param, value):
        with pytest.raises(TypeError) as e:
            getattr(PyTavrin(), name)(value, **{param: value})
        assert str(e.value) == f"PyTavrin.{name}() got multiple values for argument '{param}'"


class Index:
    """An integer-like argument whose __index__ runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


class TestBorrows:
    def test_step_index_reading_the_game_conflicts(self):
        game = PyTavrin()
        with pytest.raises(RuntimeError) as e:
            game.step(Index(0, lambda: game.ply))
        assert str(e.value) == "Already mutably borrowed"
        assert notes(e) == ["while processing 'action_idx'"]
        assert game.to_bytes() == NEW_STATE and game.agent_selection == 0
        game.step(0)  # the borrow was given back
        assert game.ply == 1

    def test_every_reader_refused_during_step(self):
        game = PyTavrin()
        reads = [lambda name=name: getattr(game, name) for name in PROPERTY_DOCS]
        reads += [game.copy, game.to_bytes, game.__getstate__, game.render, lambda: game.observe(0),
                  lambda: game.outcome("score"), lambda: copy.deepcopy(game)]
        for read in reads:
            with pytest.raises(RuntimeError) as e:
                game.step(Index(0, read))
            assert str(e.value) == "Already mutably borrowed"
        assert game.to_bytes() == NEW_STATE

    def test_writers_refused_during_step(self):
        game = PyTavrin()
        for call in [game.reset, lambda: game.step(0), lambda: game.__setstate__(NEW_STATE)]:
            with pytest.raises(RuntimeError) as e:
                game.step(Index(0, call))
            assert str(e.value) == "Already borrowed"
            assert notes(e) == ["while processing 'action_idx'"]
        assert game.to_bytes() == NEW_STATE

    def test_readers_overlap_writers_refused_during_observe(self):
        game = PyTavrin()
        seen = []
        obs = game.observe(Index(1, lambda: seen.append((game.ply, game.observe(0).done))))
        assert seen == [(0, bytes(4))]
        assert len(obs.action_mask) == 36400
        with pytest.raises(RuntimeError) as e:
            game.observe(Index(0, lambda: game.step(0)))
        assert str(e.value) == "Already borrowed"
        assert notes(e) == ["while processing 'agent_idx'"]
        assert game.ply == 0

    def test_other_games_are_free_during_step(self):
        game, other = PyTavrin(), PyTavrin()
        game.step(Index(0, lambda: other.step(0)))
        assert game.ply == 1 and other.ply == 1
