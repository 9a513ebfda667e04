// The station's page: /api/status drawn as tiles and tables, redrawn as
// the run's events come in over /events. Every value from the station
// (port names, values, reasons) goes into the page as text (textContent),
// never as markup.
"use strict";

const words = {
  idle: "idle", waiting: "waiting", programming: "programming", programmed: "programmed",
  failed: "failed", out_of_values: "out of values", unplugged: "adapter unplugged",
};
let token = sessionStorage.getItem("zelflash-token") || "";
let lastEvent = 0;
let nextBoard = 0;
let refreshDue = null;
let stream = null;

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}

function valuesText(values) {
  return Object.entries(values || {}).map(([k, v]) => k + " " + v).join(", ");
}

function tileDetail(t) {
  const b = t.board || {};
  if (t.state === "programming" && b.percent !== undefined)
    return b.percent + " %  " + (b.speed / 1024).toFixed(1) + " KiB/s  " + Number(b.seconds).toFixed(1) + " s";
  if (t.state === "programmed")
    return valuesText(b.values) + (b.seconds !== undefined ? "\n" + Number(b.seconds).toFixed(2) + " s" : "");
  if (t.state === "failed") return b.reason || b.outcome || b.text || "";
  if (t.state === "unplugged") return "plug its adapter back in";
  return b.last ? "last board: " + b.last : "";
}

function drawTiles(tiles) {
  const all = document.getElementById("tiles");
  all.replaceChildren();
  for (const t of tiles) {
    const tile = el("div", null, "tile " + t.state);
    tile.dataset.port = t.port;
    tile.dataset.slot = t.slot;
    tile.dataset.state = t.state;
    tile.append(el("div", t.slot > 0 ? "slot " + t.slot + "  " + t.port : t.port, "name"));
    tile.append(el("div", words[t.state] || t.state, "word"));
    if (t.state === "programming") {
      const bar = el("progress");
      bar.max = 100;
      bar.value = (t.board && t.board.percent) || 0;
      tile.append(bar);
    }
    tile.append(el("div", tileDetail(t), "detail"));
    all.append(tile);
  }
}

function drawCounts(c) {
  document.getElementById("programmed").textContent = c.programmed;
  document.getElementById("failed").textContent = c.failed;
  const fp = c.first_pass;
  document.getElementById("yield").textContent =
    fp.boards > 0 ? (100 * fp.programmed / fp.boards).toFixed(1) + " %" : "-";
  document.getElementById("per-hour").textContent = Math.round(c.per_hour);
  const failures = document.getElementById("failures");
  failures.replaceChildren();
  for (const [reason, n] of Object.entries(c.failures || {})) failures.append(el("li", reason + ": " + n));
  const body = document.querySelector("#ports tbody");
  body.replaceChildren();
  for (const p of c.ports) {
    const row = el("tr", null, p.many_failures || p.many_resends ? "marked" : "");
    const mark = p.many_failures ? "stands out: failures" : p.many_resends ? "stands out: resends" : "";
    for (const v of [p.port, p.boards, p.failed, p.frames, p.resends, p.late_replies, mark]) row.append(el("td", v));
    body.append(row);
  }
}

function drawLot(lot) {
  const list = document.getElementById("lot");
  list.replaceChildren();
  for (const f of lot) list.append(el("li", f.field + ": " + (f.left === null ? "no last value set" : f.left)));
  if (lot.length === 0) list.append(el("li", "no counted values in this job"));
}

function stateText(s) {
  if (s.ended) return "The station has stopped.";
  if (s.failure) return "Stopping: " + s.failure;
  if (!s.taking || s.stopping) return "Stopping: the running boards finish, no new ones are taken.";
  if (s.paused) return "Paused: no new boards are taken (" + s.waiting + " waiting).";
  return "Taking boards" + (s.waiting > 0 ? " (" + s.waiting + " waiting)" : "") + ".";
}

function drawStatus(st) {
  document.getElementById("watching").textContent = st.station.watching ? "watching " + st.station.watching : "";
  document.getElementById("state").textContent = stateText(st.station);
  document.getElementById("control").hidden = !st.station.control;
  document.getElementById("buttons").hidden = !(st.station.control && token);
  document.getElementById("token-form").hidden = !!token;
  drawTiles(st.tiles);
  drawCounts(st.counts);
  drawLot(st.lot);
  if (st.station.ended) lost("The station has stopped; this page shows its last state.");
}

function lost(text) {
  const b = document.getElementById("lost");
  b.textContent = text;
  b.hidden = false;
}

function found() {
  document.getElementById("lost").hidden = true;
}

async function getJson(path) {
  const r = await fetch(path, { cache: "no-store" });
  if (!r.ok) throw new Error(path + ": " + r.status);
  return r.json();
}

async function refresh() {
  refreshDue = null;
  try {
    const st = await getJson("/api/status");
    lastEvent = Math.max(lastEvent, st.event);
    drawStatus(st);
    await moreBoards();
  } catch (e) {
    lost("Lost the station: no answer from it (" + new Date().toLocaleTimeString() + "). Trying again.");
  }
}

function refreshSoon() {
  if (refreshDue === null) refreshDue = setTimeout(refresh, 200);
}

function boardRow(r) {
  const row = el("tr", null, r.outcome_key === "programmed" || r.outcome_key === "unconfirmed" ? "" : "failed");
  const values = valuesText(r.values);
  for (const v of [r.end, r.port, r.outcome + (r.error ? ": " + r.error : ""), values, Number(r.seconds).toFixed(2)])
    row.append(el("td", v));
  return row;
}

async function moreBoards() {
  const got = await getJson("/api/boards?since=" + nextBoard);
  nextBoard = got.next;
  const body = document.querySelector("#boards tbody");
  for (const r of got.boards) body.prepend(boardRow(r));
  while (body.rows.length > 50) body.deleteRow(body.rows.length - 1);
}

function listen() {
  stream = new EventSource("/events?after=" + lastEvent);
  stream.onopen = () => { found(); refreshSoon(); };
  stream.onmessage = (m) => {
    lastEvent = Math.max(lastEvent, Number(m.lastEventId) || 0);
    refreshSoon();
  };
  stream.onerror = () => {
    lost("Lost the station: its events stopped at " + new Date().toLocaleTimeString() + ". Trying again.");
  };
}

async function control(what) {
  const said = document.getElementById("control-said");
  try {
    const r = await fetch("/api/" + what, { method: "POST", headers: { Authorization: "Bearer " + token } });
    said.textContent = r.ok ? what + ": asked" : what + ": refused (" + r.status + ")";
    if (r.status === 401) forgetToken();
  } catch (e) {
    said.textContent = what + ": the station did not answer";
  }
  refreshSoon();
}

function forgetToken() {
  token = "";
  sessionStorage.removeItem("zelflash-token");
  refreshSoon();
}

function takeToken(given) {
  token = given.trim();
  if (token) sessionStorage.setItem("zelflash-token", token);
  refreshSoon();
}

function start() {
  const hash = new URLSearchParams(location.hash.slice(1));
  if (hash.get("token")) {
    takeToken(hash.get("token"));
    history.replaceState(null, "", location.pathname);
  }
  document.getElementById("token-form").addEventListener("submit", (e) => {
    e.preventDefault();
    takeToken(document.getElementById("token").value);
  });
  for (const what of ["pause", "resume", "stop"])
    document.getElementById(what).addEventListener("click", () => control(what));
  refresh().then(listen);
}

document.addEventListener("DOMContentLoaded", start);
