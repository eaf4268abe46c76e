"""An independent, slow model of the game for the property tests: the piece catalogue, the state
byte layout and the placement rules, written with numpy straight from the rules of the game rather
than from the engine, so that a fault in the engine shows up as a disagreement."""

from __future__ import annotations

import numpy as np

SIDE = 20
STATE_SIZE = 278
BLOCK = 69
ALL_PIECES = 0x1FFFFF

PIECE_NAMES = ("I1", "I2", "V3", "I3", "T4", "O", "L4", "I4", "Z4", "F", "X",
               "P", "W", "Z5", "Y", "L5", "U", "T5", "V5", "N", "I5")
KIND_CODES = (1, 2, 3, 9, 10, 16, 22, 28, 34, 35, 41, 47, 53, 59, 65, 71, 77, 83, 89, 95, 101)
KIND_CELLS = (1, 2, 3, 3, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5)
CODE_TO_KIND = {code: k for k, code in enumerate(KIND_CODES)}

# Every orientation of every kind, in orientation-number order; rows top first, split by "/".
_ORIENTATIONS = {
    "I1": "#",
    "I2": "## ; #/#",
    "V3": "##/#. ; #./## ; .#/## ; ##/.#",
    "I3": "### ; #/#/#",
    "T4": ".#./### ; #./##/#. ; ###/.#. ; .#/##/.#",
    "O": "##/##",
    "L4": "#../### ; ###/#.. ; #./#./## ; ##/#./#. ; ##/.#/.# ; ###/..# ; ..#/### ; .#/.#/##",
    "I4": "#### ; #/#/#/#",
    "Z4": "#./##/.# ; .#/##/#. ; .##/##. ; ##./.##",
    "F": ".#./###/#.. ; #../###/.#. ; ##./.##/.#. ; .##/##./.#. ; ..#/###/.#. ; .#./##./.## ; "
         ".#./###/..# ; .#./.##/##.",
    "X": ".#./###/.#.",
    "P": "##/##/#. ; ##/##/.# ; #./##/## ; .#/##/## ; ###/.## ; .##/### ; ###/##. ; ##./###",
    "W": "#../##./.## ; .##/##./#.. ; ..#/.##/##. ; ##./.##/..#",
    "Z5": "#../###/..# ; ..#/###/#.. ; .##/.#./##. ; ##./.#./.##",
    "Y": "####/.#.. ; .#../#### ; ####/..#. ; ..#./#### ; #./#./##/#. ; .#/.#/##/.# ; #./##/#./#. ; "
         ".#/##/.#/.#",
    "L5": "####/#... ; #.../#### ; ####/...# ; ...#/#### ; #./#./#./## ; .#/.#/.#/## ; ##/#./#./#. ; "
          "##/.#/.#/.#",
    "U": "#.#/### ; ###/#.# ; ##/#./## ; ##/.#/##",
    "T5": ".#./.#./### ; #../###/#.. ; ###/.#./.#. ; ..#/###/..#",
    "V5": "###/#../#.. ; #../#../### ; ..#/..#/### ; ###/..#/..#",
    "N": ".###/##.. ; ##../.### ; ###./..## ; ..##/###. ; #./#./##/.# ; .#/.#/##/#. ; .#/##/#./#. ; "
         "#./##/.#/.#",
    "I5": "##### ; #/#/#/#/#",
}


def _orientations():
    out = []
    for kind, name in enumerate(PIECE_NAMES):
        for picture in _ORIENTATIONS[name].split(";"):
            rows = picture.strip().split("/")
            cells = [(r, c) for r, row in enumerate(rows) for c, ch in enumerate(row) if ch == "#"]
            out.append((kind, len(rows), len(rows[0]), cells))
    return out


ORIENTATIONS = _orientations()
ORIENTATION_COUNT = len(ORIENTATIONS)
GRID_SIZE = ORIENTATION_COUNT * SIDE * SIDE


def _grid():
    # Cells of every grid index as r * 20 + c; 400 pads shorter pieces and marks a misfit.
    cells = np.full((GRID_SIZE, 5), 400, dtype=np.int32)
    fits = np.zeros(GRID_SIZE, dtype=bool)
    kind = np.zeros(GRID_SIZE, dtype=np.int32)
    for v, (k, h, w, shape) in enumerate(ORIENTATIONS):
        for dy in range(SIDE):
            for dx in range(SIDE):
                g = v * 400 + dy * SIDE + dx
                kind[g] = k
                if dy + h <= SIDE and dx + w <= SIDE:
                    fits[g] = True
                    for i, (r, c) in enumerate(shape):
                        cells[g, i] = (dy + r) * SIDE + dx + c
    return cells, fits, kind


GRID_CELLS, GRID_FITS, GRID_KIND = _grid()
assert ORIENTATION_COUNT == 91 and int(GRID_FITS.sum()) == 30433


def popcount(x: int) -> int:
    return bin(x).count("1")


def bit_position_byte(p: int) -> tuple[int, int]:
    """Block byte and bit of board position p in the 64-byte board image."""
    return 16 * (3 - p // 128) + (p % 128) // 8, p % 8


_IMAGE_BYTE = np.array([bit_position_byte(p)[0] for p in range(512)])
_IMAGE_BIT = np.array([bit_position_byte(p)[1] for p in range(512)])
# Board position (r * 21 + c) of every cell r * 20 + c.
CELL_POSITIONS = np.array([r * 21 + c for r in range(SIDE) for c in range(SIDE)])
VALID_POSITIONS = np.zeros(512, dtype=bool)
VALID_POSITIONS[CELL_POSITIONS] = True


def image_to_positions(image: bytes) -> np.ndarray:
    """The 512 bits of a board image as a bool array indexed by position."""
    raw = np.frombuffer(image, dtype=np.uint8)
    return ((raw[_IMAGE_BYTE] >> _IMAGE_BIT) & 1).astype(bool)


def board_to_image(board: np.ndarray) -> bytes:
    """A (20, 20) bool board as its 64-byte image."""
    out = bytearray(64)
    for p in CELL_POSITIONS[board.ravel()]:
        byte, bit = bit_position_byte(int(p))
        out[byte] |= 1 << bit
    return bytes(out)


class State:
    """A decoded game state: the boards in the game frame, masks, last kinds, agent to move."""

    def __init__(self, data: bytes):
        assert len(data) == STATE_SIZE and data[0] == 1, data[:4]
        self.boards = []
        self.pieces = []
        self.last = []
        for i in range(4):
            block = data[1 + BLOCK * i: 1 + BLOCK * (i + 1)]
            positions = image_to_positions(block[:64])
            assert not (positions & ~VALID_POSITIONS).any(), "board bit outside the 400 cells"
            self.boards.append(positions[CELL_POSITIONS].reshape(SIDE, SIDE))
            self.pieces.append(int.from_bytes(block[64:68], "little"))
            self.last.append(block[68])
        self.agent_selection = data[277]

    def placed(self, agent: int) -> int:
        return 21 - popcount(self.pieces[agent])

    def remaining_cells(self, agent: int) -> int:
        return sum(KIND_CELLS[k] for k in range(21) if self.pieces[agent] >> k & 1)

    def score(self, agent: int) -> int:
        left = self.remaining_cells(agent)
        if left:
            return -left
        return 20 if self.last[agent] == KIND_CODES[0] else 15


def encode_state(boards, pieces, last, agent_selection) -> bytes:
    out = bytearray([1])
    for board, mask, code in zip(boards, pieces, last):
        out += board_to_image(np.asarray(board, dtype=bool)) + int(mask).to_bytes(4, "little") + bytes([code])
    out.append(agent_selection)
    return bytes(out)


def state_is_valid(data: bytes) -> bool:
    """Whether the reader must accept `data`: framing and every stored field in range."""
    if len(data) != STATE_SIZE or data[0] != 1 or data[277] > 3:
        return False
    for i in range(4):
        block = data[1 + BLOCK * i: 1 + BLOCK * (i + 1)]
        if block[68] != 0 and block[68] not in CODE_TO_KIND:
            return False
        if (image_to_positions(block[:64]) & ~VALID_POSITIONS).any():
            return False
        if int.from_bytes(block[64:68], "little") >= 0x200000:
            return False
    return True


def to_frame(board: np.ndarray, observer: int) -> np.ndarray:
    """A game-frame board seen by `observer`: its start corner turned to the top left."""
    return np.rot90(board, observer)


def from_frame(board: np.ndarray, observer: int) -> np.ndarray:
    return np.rot90(board, -observer)


START = ((0, 0), (0, 19), (19, 19), (19, 0))


def _grow(board: np.ndarray, steps) -> np.ndarray:
    out = board.copy()
    for dr, dc in steps:
        shifted = np.zeros_like(board)
        src = board[max(0, -dr):SIDE - max(0, dr), max(0, -dc):SIDE - max(0, dc)]
        shifted[max(0, dr):SIDE - max(0, -dr), max(0, dc):SIDE - max(0, -dc)] = src
        out |= shifted
    return out


EDGE_STEPS = ((0, 1), (0, -1), (1, 0), (-1, 0))
DIAGONAL_STEPS = ((1, 1), (1, -1), (-1, 1), (-1, -1))


def placement_masks(own: np.ndarray, occupied: np.ndarray, start: tuple[int, int]):
    """(blocked, corners) of one agent with cells `own` among `occupied` cells."""
    blocked = occupied | _grow(own, EDGE_STEPS)
    if own.any():
        corners = _grow(own, DIAGONAL_STEPS) & ~blocked
    else:
        corners = np.zeros_like(own)
        corners[start] = not occupied[start]
    return blocked, corners


def legal_grid(blocked: np.ndarray, corners: np.ndarray, pieces: int) -> np.ndarray:
    """Bool per grid index: the placement fits, its kind is held, it misses `blocked` and
    touches `corners`. Boards in the frame the grid is read in."""
    blocked_x = np.append(blocked.ravel(), False)  # index 400 pads short pieces and misfits
    corners_x = np.append(corners.ravel(), False)
    held = np.array([(pieces >> k) & 1 for k in range(21)], dtype=bool)
    hits_blocked = blocked_x[GRID_CELLS].any(axis=1)
    touches = corners_x[GRID_CELLS].any(axis=1)
    return GRID_FITS & held[GRID_KIND] & ~hits_blocked & touches


def grid_cells(g: int) -> np.ndarray:
    """The (20, 20) board of the placement at grid index g, in the frame it is read in."""
    board = np.zeros(400, dtype=bool)
    cells = GRID_CELLS[g]
    board[cells[cells != 400]] = True
    return board.reshape(SIDE, SIDE)


class Frames:
    """Everything the model expects `observe(o)` to return, for each observer o."""

    def __init__(self, state: State, terminations):
        self.state = state
        self.terminations = list(terminations)

    def expected(self, observer: int) -> dict:
        seats = [(observer + k) % 4 for k in range(4)]
        occupied = [to_frame(self.state.boards[a], observer) for a in seats]
        every = occupied[0] | occupied[1] | occupied[2] | occupied[3]
        planes = [placement_masks(occupied[k], every, START[k]) for k in range(4)]
        pieces = bytes((self.state.pieces[a] >> n) & 1 for a in seats for n in range(21))
        mask = legal_grid(planes[0][0], planes[0][1], self.state.pieces[observer])
        return {
            "observation": np.concatenate([b.ravel() for b in occupied]).astype(np.uint8).tobytes(),
            "blocked": np.concatenate([p[0].ravel() for p in planes]).astype(np.uint8).tobytes(),
            "corners": np.concatenate([p[1].ravel() for p in planes]).astype(np.uint8).tobytes(),
            "pieces": pieces,
            "done": bytes(int(self.terminations[a]) for a in seats),
            "action_mask": mask.astype(np.uint8).tobytes(),
        }


OBSERVATION_FIELDS = ("observation", "corners", "blocked", "pieces", "done", "action_mask")
