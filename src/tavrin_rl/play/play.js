// The play page: shows the server's game one turn at a time, lets the person hold, turn and
// place pieces, and asks the server for everything else. What is legal comes from the engine
// (the mover's legal placements as board cells); a placement the page thinks illegal is still
// sent, so that the refusal carries the engine's reason.
"use strict";
const D = JSON.parse(document.getElementById("play-data").textContent);
const S = D.shapes, SIDE = D.side, base = "/" + D.token + "/";
const humans = D.seats.map((name, seat) => name === "human" ? seat : -1).filter(seat => seat >= 0);
const $ = id => document.getElementById(id);
const board = $("board"), ghost = $("ghost"), statusLine = $("status");

let gameId = null, events = [], shown = 0, latest = null, owner = [], timer = null, busy = false;
let held = null;            // {kind, orientation} of the piece in hand
let cursor = null;          // {row, column}: the board cell under the pointer or the keys
let legal = null;           // kind -> Set of cell keys while the person is to move
let generation = 0;         // a new game makes answers about the old one stale
let settled = false;        // every turn received is shown and the page waits for the person or the end
let passed = new Set();     // the seats already shown passing: a pass is shown once per game

function nameOf(seat) {
  return "player_" + seat + " (" + (D.seats[seat] === "human" ? "you" : D.seats[seat]) + ")";
}
function say(text, refused) {
  statusLine.textContent = text;
  statusLine.classList.toggle("refused", !!refused);
}
// The banner over the board and the board's frame show whose turn it is in that seat's colour.
function banner(text, seat) {
  const colour = seat === null ? "#999" : D.colours[seat];
  $("banner-text").textContent = text;
  $("banner").style.borderColor = colour;
  $("banner").firstChild.style.background = colour;
  $("banner").classList.toggle("yours", seat !== null && humans.includes(seat));
  $("frame").setAttribute("stroke", seat === null ? "none" : colour);
  $("banner").dataset.seat = seat === null ? "" : String(seat);
}
// Each seat's start corner keeps its ring until a piece covers it.
function paintBoard() {
  TavrinBoard.paint(D, owner);
  D.corners.forEach(([r, c], seat) => {
    $("start" + seat).style.display = owner[r * SIDE + c] < 0 ? "" : "none";
  });
}
// The hand's buttons act on the held piece: off when there is none.
function showHand() {
  for (const id of ["turn", "turn-back", "flip", "drop"]) $(id).disabled = !held;
}
async function ask(path, body) {
  const answer = await fetch(base + path, {method: "POST", headers: {"Content-Type": "application/json"},
                                          body: JSON.stringify(body)});
  let value = null;
  try { value = await answer.json(); } catch (error) { value = {error: "the server's answer was not JSON"}; }
  return {ok: answer.ok, status: answer.status, value};
}

// Seats, scores and places -----------------------------------------------------------------
const rows = [];
for (let seat = 0; seat < D.seats.length; seat++) {
  const row = document.createElement("tr");
  row.innerHTML = '<td><span class="swatch"></span></td><td></td><td class="name"></td>' +
    '<td class="num"></td><td class="num"></td><td class="num"></td>';
  row.cells[0].firstChild.style.background = D.colours[seat];
  row.cells[1].textContent = "player_" + seat;
  row.cells[2].textContent = D.seats[seat] === "human" ? "you" : D.seats[seat];
  $("seats").tBodies[0].appendChild(row);
  rows.push(row);
}
function showSeats(scores, left, out, mover, places) {
  rows.forEach((row, seat) => {
    row.cells[3].textContent = scores[seat];
    row.cells[4].textContent = left[seat];
    row.cells[5].textContent = places ? ordinal(places[seat]) : "";
    row.classList.toggle("turn", seat === mover);
    // at the end every seat is out: the places tell the story then, not the grey
    row.classList.toggle("out", !places && !!out[seat]);
    row.classList.toggle("winner", !!places && places[seat] === 1);
  });
  // seat order while the game goes on, place order at its end (ties keep seat order)
  const order = rows.map((row, seat) => seat);
  if (places) order.sort((a, b) => places[a] - places[b] || a - b);
  const body = $("seats").tBodies[0];
  order.forEach(seat => body.appendChild(rows[seat]));
}
function ordinal(n) { return n + ({1: "st", 2: "nd", 3: "rd"}[n] || "th"); }

// The held piece -----------------------------------------------------------------------------
function shapeOf(orientation) {
  const cells = S.cells[orientation];
  return {cells, height: 1 + Math.max(...cells.map(c => c[0])), width: 1 + Math.max(...cells.map(c => c[1]))};
}
function anchor() {
  const shape = shapeOf(held.orientation);
  const clamp = (v, most) => Math.max(0, Math.min(most, v));
  return [clamp(cursor.row - Math.floor((shape.height - 1) / 2), SIDE - shape.height),
          clamp(cursor.column - Math.floor((shape.width - 1) / 2), SIDE - shape.width)];
}
function heldCells() {
  const [top, left] = anchor();
  return S.cells[held.orientation].map(c => [top + c[0], left + c[1]]);
}
function cellKey(cells) { return cells.map(c => c[0] * SIDE + c[1]).sort((a, b) => a - b).join(","); }
function myTurn() { return legal !== null && !busy; }
function mover() { return latest && !latest.over ? latest.mover : null; }
function traySeat() {
  const m = mover();
  return humans.includes(m) ? m : humans[0];
}
function drawGhost() {
  ghost.replaceChildren();
  if (!held || !cursor) return;
  const cells = heldCells(), ok = myTurn() && legal[held.kind] && legal[held.kind].has(cellKey(cells));
  const s = D.cell, m = D.margin, ns = "http://www.w3.org/2000/svg";
  for (const [r, c] of cells) {
    const rect = document.createElementNS(ns, "rect");
    rect.setAttribute("x", m + c * s + 1.5); rect.setAttribute("y", m + r * s + 1.5);
    rect.setAttribute("width", s - 3); rect.setAttribute("height", s - 3);
    rect.setAttribute("fill", D.colours[traySeat()]); rect.setAttribute("fill-opacity", "0.6");
    rect.setAttribute("stroke", ok ? "#0a7d28" : "#b00020"); rect.setAttribute("stroke-width", "3");
    if (!ok) rect.setAttribute("stroke-dasharray", "3 2");
    ghost.appendChild(rect);
  }
  ghost.dataset.legal = ok ? "yes" : "no";
  // written as the move log and the terminal write moves: PIECE:VARIANT at the top-left corner
  const name = S.names[held.kind], variant = held.orientation - S.kinds[held.kind][0], [top, left] = anchor();
  $("held").textContent = "Holding " + name + ":" + variant + " at " + top + "," + left + ": " +
    (ok ? "legal here" : myTurn() ? "not legal here" : "wait for your turn");
}
function hold(kind) {
  if (kind === null) {
    held = null;
    $("held").textContent = "Pick a piece from your tray.";
  } else {
    held = {kind, orientation: S.kinds[kind][0]};
    if (!cursor) cursor = {row: D.corners[traySeat()][0], column: D.corners[traySeat()][1]};
  }
  showTray();
  drawGhost();
  showHand();
}
function turnHeld(table, times) {
  if (!held) return;
  for (let i = 0; i < times; i++) held.orientation = table[held.orientation];
  drawGhost();
}
function cyclePiece(step) {
  const kinds = trayKinds();
  if (!kinds.length) return;
  const at = held ? kinds.indexOf(held.kind) : -1;
  hold(kinds[(at + step + kinds.length) % kinds.length]);
}
function trayKinds() { return latest ? latest.trays[String(traySeat())] || [] : []; }

function showTray() {
  const tray = $("tray"), focused = document.activeElement && document.activeElement.dataset.kind;
  tray.replaceChildren();
  for (const kind of trayKinds()) {
    const button = document.createElement("button"), cells = S.cells[S.kinds[kind][0]];
    button.type = "button";
    button.dataset.kind = kind;
    button.setAttribute("aria-label", "piece " + S.names[kind]);
    button.setAttribute("aria-pressed", held && held.kind === kind ? "true" : "false");
    if (held && held.kind === kind) button.classList.add("held");
    const h = 1 + Math.max(...cells.map(c => c[0])), w = 1 + Math.max(...cells.map(c => c[1])), u = 8;
    let svg = '<svg width="' + (w * u) + '" height="' + (h * u) + '" aria-hidden="true">';
    for (const [r, c] of cells)
      svg += '<rect x="' + (c * u) + '" y="' + (r * u) + '" width="' + (u - 1) + '" height="' + (u - 1) +
             '" fill="' + D.colours[traySeat()] + '"/>';
    button.innerHTML = svg + "</svg><span>" + S.names[kind] + "</span>";
    button.addEventListener("click", event => {
      hold(held && held.kind === kind ? null : kind);
      if (held && event.detail === 0) board.focus();  // picked by the keyboard: the arrows move it next
    });
    tray.appendChild(button);
    if (String(kind) === focused) button.focus();
  }
}

// Placing --------------------------------------------------------------------------------------
async function place() {
  if (!held || !cursor) return;
  if (!myTurn()) { say("Wait for your turn: " + (mover() !== null ? nameOf(mover()) + " is to move." : ""), true); return; }
  const cells = heldCells(), mine = generation;
  busy = true;
  let answer;
  try {
    answer = await ask("api/move", {game: gameId, turn: events.length, cells});
  } catch (error) {
    busy = false;
    say("The server did not answer: " + error.message, true);
    return;
  }
  busy = false;
  if (mine !== generation) return;
  if (!answer.ok || answer.value.refused) {
    say(answer.value.refused || answer.value.error || "refused", true);
    drawGhost();
    if (answer.status === 409) poll();
    return;
  }
  held = null;
  legal = null;
  $("held").textContent = "Pick a piece from your tray.";
  // the piece is on the board now: neither its ghost nor its tray button stays lit
  showTray(); drawGhost(); showHand();
  receive(answer.value);
}

// The game's turns, shown one at a time ------------------------------------------------------------
function receive(state) {
  if (state.game !== gameId) return;
  events = events.slice(0, state.first).concat(state.events);
  latest = state;
  settled = false;
  if (!timer) step();
}
function showTurn(event) {
  for (const [r, c] of event.cells) owner[r * SIDE + c] = event.agent;
  paintBoard();
  if (event.cells.length) TavrinBoard.mark(D, event.cells);
  // A seat out of moves passes every round from then on: the log says so once.
  const again = !event.move && passed.has(event.agent);
  if (!event.move) passed.add(event.agent);
  if (!again) {
    banner((humans.includes(event.agent) ? "You: " : nameOf(event.agent) + ": ") +
           (event.move ? "placed " + event.move : "out of moves"), event.agent);
    const item = document.createElement("li");
    item.textContent = D.letters[event.agent] + " " + nameOf(event.agent) +
      (event.move ? ": " + event.move : " is out of moves and passes from now on");
    $("log").appendChild(item);
    $("log").scrollTop = $("log").scrollHeight;
    say(nameOf(event.agent) + (event.move ? " placed " + event.move + "." : " is out of moves."));
  }
  showSeats(event.scores, event.left, [], null, null);
  return again;
}
function step() {
  timer = null;
  if (shown < events.length) {
    const event = events[shown++];
    const again = showTurn(event);
    // a pause after every turn, shorter after a pass and none after a pass already shown
    timer = setTimeout(step, again ? 0 : D.pause * (event.cells.length ? 1000 : 500));
    return;
  }
  settle();
}
function settle() {
  const state = latest;
  if (state.turns !== events.length) { poll(); return; }
  showSeats(state.scores, state.left, state.out, state.over ? null : state.mover, state.places || null);
  if (state.failure) { say(state.failure, true); banner("The game stopped", null); settled = true; return; }
  if (state.over) {
    legal = null;
    held = null;
    $("held").textContent = "New game (N) starts another.";
    const order = [...state.places.keys()].sort((a, b) => state.places[a] - state.places[b] || a - b);
    const winners = order.filter(seat => state.places[seat] === 1);
    const you = winners.some(seat => humans.includes(seat));
    banner("Game over: " + (winners.length > 1 ? "a tie, " + winners.map(nameOf).join(" and ") + " share first"
           : you && humans.length === 1 ? "you win!" : nameOf(winners[0]) + " wins"), winners[0]);
    say("Game over. " + order.map(seat => ordinal(state.places[seat]) + " " + nameOf(seat) + ": " +
        state.scores[seat]).join("; ") + ".");
    showTray(); drawGhost(); showHand();
    settled = true;
    return;
  }
  if (state.legal) {
    legal = {};
    for (const kind in state.legal) legal[kind] = new Set(state.legal[kind]);
    banner((humans.length > 1 ? "Your turn, " + nameOf(state.mover) : "Your turn") + ": place a piece", state.mover);
    say("Your move, " + nameOf(state.mover) + ": pick a piece, turn it, click the board to place it.");
    showTray(); drawGhost(); showHand();
    settled = true;
    return;
  }
  legal = null;
  banner(nameOf(state.mover) + " is thinking...", state.mover);
  say(nameOf(state.mover) + " is thinking...");
  showTray(); drawGhost(); showHand();
  setTimeout(poll, 250);
}
async function poll() {
  const mine = generation;
  let answer;
  try {
    answer = await ask("api/state", {game: gameId, since: events.length});
  } catch (error) {
    if (mine === generation) { say("The server did not answer: " + error.message, true); setTimeout(poll, 1000); }
    return;
  }
  if (mine !== generation) return;
  if (!answer.ok) {
    say(answer.value.error || "refused", true);
    if (answer.status === 404) sessionStorage.removeItem("tavrin-game");
    return;
  }
  receive(answer.value);
}
async function newGame() {
  const mine = ++generation;
  clearTimeout(timer); timer = null;
  say("Starting a new game...");
  let answer;
  try {
    answer = await ask("api/new", {});
  } catch (error) {
    say("The server did not answer: " + error.message, true);
    return;
  }
  if (mine !== generation) return;
  if (!answer.ok) { say(answer.value.error || "refused", true); return; }
  begin(answer.value);
}
function begin(state) {
  gameId = state.game;
  sessionStorage.setItem("tavrin-game", gameId);
  events = []; shown = 0; latest = null; legal = null; held = null; passed = new Set();
  owner = new Array(SIDE * SIDE).fill(-1);
  paintBoard();
  showHand();
  TavrinBoard.mark(D, []);
  $("log").replaceChildren();
  $("save-state").href = base + "save/" + gameId + "/state";
  $("save-replay").href = base + "save/" + gameId + "/replay";
  $("held").textContent = "Pick a piece from your tray.";
  receive(state);
}

// Pointer and keys -----------------------------------------------------------------------------
function cellAt(event) {
  const box = board.getBoundingClientRect(), size = board.viewBox.baseVal.width, scale = box.width / size;
  const x = (event.clientX - box.left) / scale - D.margin, y = (event.clientY - box.top) / scale - D.margin;
  const clamp = v => Math.max(0, Math.min(SIDE - 1, Math.floor(v / D.cell)));
  return {row: clamp(y), column: clamp(x)};
}
board.addEventListener("pointermove", event => {
  cursor = cellAt(event);
  if (held) drawGhost();
});
let touched = null;  // the cell a touch last showed the piece at
board.addEventListener("click", event => {
  const cell = cellAt(event), key = cell.row + "," + cell.column;
  cursor = cell;
  if (!held) return;
  drawGhost();
  // A touch has no hover: the first tap shows the piece there, a second tap on it places it.
  if (event.pointerType === "touch" && touched !== key) { touched = key; return; }
  touched = null;
  place();
});
$("turn").addEventListener("click", () => turnHeld(S.turn, 1));
$("turn-back").addEventListener("click", () => turnHeld(S.turn, 3));
$("flip").addEventListener("click", () => turnHeld(S.flip, 1));
$("drop").addEventListener("click", () => hold(null));
$("new").addEventListener("click", newGame);
document.addEventListener("keydown", event => {
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  const target = event.target, onControl = target !== board && target.closest && target.closest("button, a, summary");
  const moves = {ArrowUp: [-1, 0], ArrowDown: [1, 0], ArrowLeft: [0, -1], ArrowRight: [0, 1]};
  if (event.key === "[" || event.key === "]") cyclePiece(event.key === "]" ? 1 : -1);
  else if (event.key === "n" || event.key === "N") newGame();
  else if (!held) return;
  else if (moves[event.key]) {
    const [dr, dc] = moves[event.key], [top, left] = anchor(), shape = shapeOf(held.orientation);
    // move the piece itself one cell, wherever the cursor sat inside it
    cursor = {row: Math.max(0, Math.min(SIDE - 1, top + dr + Math.floor((shape.height - 1) / 2))),
              column: Math.max(0, Math.min(SIDE - 1, left + dc + Math.floor((shape.width - 1) / 2)))};
    drawGhost();
  } else if (event.key === "r") turnHeld(S.turn, 1);
  else if (event.key === "R") turnHeld(S.turn, 3);
  else if (event.key === "f" || event.key === "F") turnHeld(S.flip, 1);
  else if (event.key === "Escape") hold(null);
  else if ((event.key === "Enter" || event.key === " ") && !onControl) place();
  else return;
  event.preventDefault();
});

// For tests and the curious: what the page holds, read-only.
window.tavrinPlay = {
  get game() { return gameId; }, get shown() { return shown; }, get events() { return events.length; },
  get latest() { return latest; }, get held() { return held && {...held}; }, get myTurn() { return myTurn() && settled; }, get settled() { return settled; },
  get anchor() { return held && cursor ? anchor() : null; },
};

const kept = sessionStorage.getItem("tavrin-game");
if (kept) {
  // A reload keeps the tab's game while the server still has it.
  ask("api/state", {game: kept, since: 0}).then(answer => answer.ok ? begin(answer.value) : newGame(),
                                                  () => newGame());
} else {
  newGame();
}
