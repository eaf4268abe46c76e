// The board's drawing, shared by the replay page and the play page: both start from the SVG
// board of `tavrin_rl.board.svg_grid` (one rect per cell, id "c{row}-{column}", and the path
// "last") and recolour it here, so that the two pages cannot draw a game differently.
// `look` carries the drawing's constants from Python: colours, free, cell, margin, side.
"use strict";
const TavrinBoard = {
  // Fill every cell from `owner`, one entry per board cell (row-major), -1 for a free cell.
  paint(look, owner) {
    const side = look.side;
    for (let p = 0; p < side * side; p++) {
      const fill = owner[p] < 0 ? look.free : look.colours[owner[p]];
      document.getElementById("c" + Math.floor(p / side) + "-" + (p % side)).setAttribute("fill", fill);
    }
  },
  // An SVG path along the border of the board cells `cells` ([row, column] pairs): the edges no
  // other cell of the set shares, so that a piece is outlined as one shape.
  outline(look, cells) {
    const set = new Set(cells.map(c => c[0] + "," + c[1])), s = look.cell, m = look.margin;
    let d = "";
    for (const [r, c] of cells) {
      const x = m + c * s, y = m + r * s;
      if (!set.has((r - 1) + "," + c)) d += "M" + x + " " + y + "h" + s;
      if (!set.has((r + 1) + "," + c)) d += "M" + x + " " + (y + s) + "h" + s;
      if (!set.has(r + "," + (c - 1))) d += "M" + x + " " + y + "v" + s;
      if (!set.has(r + "," + (c + 1))) d += "M" + (x + s) + " " + y + "v" + s;
    }
    return d;
  },
  // Outline the last placement (none for an empty list).
  mark(look, cells) {
    document.getElementById("last").setAttribute("d", cells.length ? TavrinBoard.outline(look, cells) : "");
  },
};
