// The console's page: plain HTML, CSS and JavaScript, served as they stand.
// Every text from a station or the room's file reaches the page through
// textContent, never as markup.
#include "console/web/web_server.h"

namespace zalvo::console {

const char* const kPageHtml = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Zalvo room</title>
<link rel="stylesheet" href="/app.css">
<script src="/app.js" defer></script>
</head>
<body>
<section id="login" hidden>
  <form id="login-form">
    <h1>Zalvo room</h1>
    <label>Operator <input id="login-name" name="name" autocomplete="username" required></label>
    <label>Password <input id="login-password" name="password" type="password" autocomplete="current-password" required></label>
    <button type="submit" id="login-button">Log in</button>
    <p id="login-error" class="error" role="alert"></p>
  </form>
</section>
<section id="main" hidden>
  <header>
    <h1>Zalvo room</h1>
    <span id="summary"></span>
    <span class="spacer"></span>
    <span id="connection" class="error"></span>
    <span id="operator"></span>
    <button id="logout" class="plain">Log out</button>
  </header>
  <div id="toolbar">
    <span id="selected-count">No station selected</span>
    <button id="select-all" class="plain">All</button>
    <button id="select-none" class="plain">None</button>
    <label>Minutes <input id="minutes" type="number" min="1" max="10080" value="60"></label>
    <button data-act="start">Start</button>
    <button data-act="add">Add minutes</button>
    <button data-act="end">End</button>
    <button data-act="info">Info</button>
    <button data-act="monitor_off">Monitor off</button>
    <button data-act="monitor_on">Monitor on</button>
    <label>Volume <input id="volume" type="number" min="0" max="100" value="50"></label>
    <button data-act="volume">Set volume</button>
    <button data-act="reboot" class="danger">Restart</button>
    <button data-act="shutdown" class="danger">Shut down</button>
  </div>
  <p id="message" role="status"></p>
  <div id="room"></div>
  <section id="strangers" hidden>
    <h2>Reported, not in the room file</h2>
    <p class="hint">Adopt a PC of the club to rent it out; remove what is not one.</p>
    <div id="stranger-cards"></div>
  </section>
  <section id="sessions">
    <h2>Sessions on <input id="day" type="date"></h2>
    <a id="csv" href="#">Export CSV</a>
    <table>
      <thead><tr><th>Station</th><th>Started</th><th>Ended</th><th>Minutes</th><th>Started by</th><th>Ended by</th></tr></thead>
      <tbody id="session-rows"></tbody>
    </table>
  </section>
  <p id="counters"></p>
</section>
<dialog id="windows-dialog">
  <h2 id="windows-title"></h2>
  <p id="windows-state"></p>
  <ul id="windows-list"></ul>
  <form method="dialog"><button id="windows-refresh" type="button">Refresh</button> <button>Close</button></form>
</dialog>
</body>
</html>
)html";

const char* const kPageStyle = R"css(
* { box-sizing: border-box; }
body { margin: 0; font: 16px/1.35 system-ui, sans-serif; background: #eef0f3; color: #1d2330; }
[hidden] { display: none !important; }
h1 { font-size: 1.3rem; margin: 0; }
h2 { font-size: 1.1rem; }
button { font: inherit; min-height: 2.5rem; padding: 0 .9rem; border: 1px solid #4066c2; border-radius: .4rem;
  background: #4f78d8; color: #fff; cursor: pointer; }
button.plain { background: #fff; color: #1d2330; border-color: #b7bdc9; }
button.danger { background: #c0392b; border-color: #a33123; }
input { font: inherit; min-height: 2.5rem; padding: 0 .5rem; border: 1px solid #b7bdc9; border-radius: .4rem; }
input[type=number] { width: 5.5rem; }
.error { color: #b3261e; }
#login { display: flex; justify-content: center; padding-top: 12vh; }
#login form { background: #fff; padding: 2rem; border-radius: .8rem; display: grid; gap: 1rem; min-width: 18rem;
  box-shadow: 0 2px 10px rgba(0,0,0,.08); }
#login label { display: grid; gap: .3rem; }
header { display: flex; align-items: center; gap: 1rem; padding: .8rem 1rem; background: #1d2330; color: #fff; flex-wrap: wrap; }
header .spacer { flex: 1; }
#toolbar { display: flex; flex-wrap: wrap; gap: .5rem; align-items: center; padding: .7rem 1rem; background: #fff;
  border-bottom: 1px solid #d5d9e2; position: sticky; top: 0; z-index: 1; }
#selected-count { font-weight: 600; margin-right: .5rem; }
#message { margin: .5rem 1rem; min-height: 1.3rem; }
#room, #stranger-cards { display: grid; grid-template-columns: repeat(auto-fill, minmax(13rem, 1fr)); gap: .8rem; padding: 0 1rem 1rem; }
#strangers h2 { margin: .5rem 1rem .2rem; }
#strangers .hint { margin: 0 1rem .6rem; color: #4a5160; font-size: .9rem; }
.card { background: #fff; border-radius: .7rem; padding: .8rem; border: 2px solid transparent; display: grid; gap: .35rem;
  box-shadow: 0 1px 4px rgba(0,0,0,.08); cursor: pointer; user-select: none; min-width: 0; }
.card.selected { border-color: #4f78d8; }
.card > * { min-width: 0; }
.card .top { display: flex; align-items: center; gap: .5rem; }
.card .name { font-weight: 700; font-size: 1.1rem; flex: 1; min-width: 0; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
.card input[type=checkbox] { width: 1.4rem; height: 1.4rem; min-height: 0; }
.dot { width: .8rem; height: .8rem; border-radius: 50%; background: #9aa1ad; flex: none; }
.online .dot { background: #2e9d52; }
.state { font-size: .85rem; font-weight: 700; text-transform: uppercase; letter-spacing: .04em; padding: .1rem .5rem;
  border-radius: 1rem; background: #e3e6ec; justify-self: start; }
.rented .state { background: #d6e4ff; color: #1f4fb8; }
.overrun .state { background: #ffd9d4; color: #b3261e; }
.left { font-size: 1.6rem; font-variant-numeric: tabular-nums; font-weight: 600; }
.overrun .left { color: #b3261e; }
.detail { font-size: .9rem; color: #4a5160; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
.card .actions { display: flex; gap: .4rem; flex-wrap: wrap; }
.card .actions button { min-height: 2.2rem; padding: 0 .6rem; font-size: .9rem; }
.offline { opacity: .75; }
.card.unknown { border: 2px dashed #c98a00; background: #fffaf0; cursor: default; opacity: 1; }
.unknown .state { background: #ffe7ad; color: #7a4d00; }
.note { font-size: .9rem; color: #4a5160; }
#sessions { margin: 0 1rem 1rem; background: #fff; border-radius: .7rem; padding: .2rem 1rem 1rem; overflow-x: auto; }
#sessions table { border-collapse: collapse; width: 100%; }
#sessions th, #sessions td { text-align: left; padding: .35rem .6rem; border-bottom: 1px solid #e3e6ec; }
#counters { margin: 0 1rem 1rem; font-size: .8rem; color: #6b7280; }
dialog { border: none; border-radius: .8rem; min-width: 20rem; max-width: 90vw; }
#windows-list { list-style: none; padding: 0; display: grid; gap: .4rem; max-height: 60vh; overflow: auto; }
#windows-list li { display: flex; gap: .6rem; align-items: center; justify-content: space-between; }
@media (max-width: 40rem) {
  /* One column on a phone: the room's places would push cards off the screen,
     and a toolbar that stays on top would hide most of the room. */
  #room .card { grid-column: auto !important; grid-row: auto !important; }
  #toolbar { position: static; }
}
)css";

const char* const kPageScript = R"js(
'use strict';
(function () {
  const $ = (id) => document.getElementById(id);
  let csrf = '';
  let room = { version: 0, stations: [] };
  let receivedAt = 0;
  const selected = new Set();
  const cards = new Map();

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  async function api(method, path, body) {
    const options = { method, headers: {}, credentials: 'same-origin' };
    if (body !== undefined) {
      options.headers['Content-Type'] = 'application/json';
      options.headers['X-Zalvo-Csrf'] = csrf;
      options.body = JSON.stringify(body);
    }
    const res = await fetch(path, options);
    let data = null;
    try { data = await res.json(); } catch (e) { data = null; }
    if (res.status === 401 && path !== '/api/login') showLogin();
    return { status: res.status, data };
  }

  function showLogin() {
    $('main').hidden = true;
    $('login').hidden = false;
    $('login-name').focus();
  }

  function showMain(operator) {
    $('login').hidden = true;
    $('main').hidden = false;
    $('operator').textContent = operator;
    if (!$('day').value) $('day').value = today();
    loadSessions();
  }

  function today() {
    const d = new Date();
    const p = (n) => String(n).padStart(2, '0');
    return d.getFullYear() + '-' + p(d.getMonth() + 1) + '-' + p(d.getDate());
  }

  function clock(seconds) {
    const s = Math.abs(seconds);
    const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), r = s % 60;
    const p = (n) => String(n).padStart(2, '0');
    return (seconds < 0 ? '+' : '') + (h ? h + ':' + p(m) : String(m)) + ':' + p(r);
  }

  function disk(mb) {
    if (mb === null) return 'disk: not reported';
    return mb >= 1024 ? (mb / 1024).toFixed(1) + ' GB free' : mb + ' MB free';
  }

  function secondsLeft(st) {
    if (!st.session) return null;
    return st.session.seconds_left - Math.floor((Date.now() - receivedAt) / 1000);
  }

  function makeCard(address) {
    const card = el('div', 'card');
    card.dataset.address = address;
    const top = el('div', 'top');
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.setAttribute('aria-label', 'select');
    box.addEventListener('click', (e) => { e.stopPropagation(); toggle(address, box.checked); });
    card.parts = {
      box, dot: el('span', 'dot'), name: el('span', 'name'), state: el('span', 'state'),
      left: el('div', 'left'), online: el('div', 'detail'), fg: el('div', 'detail'),
      disk: el('div', 'detail'), note: el('div', 'note'), actions: el('div', 'actions'),
    };
    top.append(box, card.parts.dot, card.parts.name);
    const windows = el('button', 'plain', 'Windows');
    windows.addEventListener('click', (e) => { e.stopPropagation(); openWindows(address); });
    const adopt = el('button', '', 'Adopt');
    adopt.addEventListener('click', (e) => { e.stopPropagation(); changeStation('adopt', address); });
    const remove = el('button', 'plain', 'Remove');
    remove.addEventListener('click', (e) => { e.stopPropagation(); changeStation('remove', address); });
    Object.assign(card.parts, { windows, adopt, remove });
    card.parts.actions.append(windows, adopt, remove);
    card.parts.note.textContent = 'Reported by itself';
    card.append(top, card.parts.state, card.parts.left, card.parts.note, card.parts.fg, card.parts.disk,
                card.parts.online, card.parts.actions);
    card.addEventListener('click', () => {
      if (!card.station.unknown) toggle(address, !selected.has(address));
    });
    return card;
  }

  function toggle(address, on) {
    if (on) selected.add(address); else selected.delete(address);
    updateSelection();
  }

  function updateSelection() {
    for (const [address, card] of cards) {
      const on = selected.has(address);
      card.classList.toggle('selected', on);
      card.parts.box.checked = on;
    }
    $('selected-count').textContent = selected.size === 0 ? 'No station selected'
      : selected.size + (selected.size === 1 ? ' station selected' : ' stations selected');
  }

  function render() {
    const seen = new Set();
    let rented = 0, online = 0, unknown = 0;
    for (const st of room.stations) {
      seen.add(st.address);
      let card = cards.get(st.address);
      if (!card) {
        card = makeCard(st.address);
        cards.set(st.address, card);
      }
      const container = st.unknown ? $('stranger-cards') : $('room');
      if (card.parentElement !== container) container.append(card);
      card.station = st;
      card.parts.name.textContent = st.name;
      card.title = st.name + ' (' + st.address + ')';
      card.style.gridColumn = st.column ? String(st.column) : '';
      card.style.gridRow = st.row ? String(st.row) : '';
      card.classList.toggle('online', st.online);
      card.classList.toggle('offline', !st.online);
      card.classList.remove('free', 'rented', 'overrun');
      card.classList.add(st.state);
      card.parts.state.textContent = st.unknown ? 'unknown' : st.state;
      card.classList.toggle('unknown', st.unknown);
      card.parts.box.hidden = st.unknown;
      card.parts.windows.hidden = st.unknown;
      card.parts.adopt.hidden = !st.unknown;
      card.parts.note.hidden = !st.unknown;
      card.parts.left.hidden = st.unknown;
      card.parts.disk.hidden = st.unknown;
      card.parts.remove.hidden = st.configured;
      if (st.unknown) { selected.delete(st.address); unknown++; }
      card.parts.online.textContent = st.online ? 'online' : (st.last_heard_ms === null ? 'offline: never heard' : 'offline');
      card.parts.fg.textContent = st.foreground === null ? 'program: not reported'
        : (st.foreground === '' ? 'program: none' : 'program: ' + st.foreground);
      card.parts.disk.textContent = disk(st.free_mb);
      if (st.online && !st.unknown) online++;
      if (st.state !== 'free') rented++;
    }
    for (const [address, card] of cards) {
      if (!seen.has(address)) { card.remove(); cards.delete(address); selected.delete(address); }
    }
    $('strangers').hidden = unknown === 0;
    $('summary').textContent = (room.stations.length - unknown) + ' stations, ' + online + ' online, ' + rented + ' rented' +
      (unknown ? ', ' + unknown + ' unknown' : '');
    const c = room.counters || {};
    $('counters').textContent = 'Datagrams ' + c.datagrams + ', reports ' + c.reports +
      ', from unknown addresses ' + c.unknown_sender + ', not understood ' + c.garbage +
      ', too long or failed ' + c.failed_receives + ', refused ' + c.refused + ', added stations ' + c.stations_added;
    tick();
    updateSelection();
  }

  function tick() {
    for (const card of cards.values()) {
      const st = card.station;
      const left = secondsLeft(st);
      let state = st.state;
      if (left !== null) state = left > 0 ? 'rented' : 'overrun';
      if (state !== st.state && !st.unknown) {
        card.classList.remove('free', 'rented', 'overrun');
        card.classList.add(state);
        card.parts.state.textContent = state;
      }
      card.parts.left.textContent = left === null ? '—' : (left > 0 ? clock(left) + ' left' : clock(left) + ' over');
    }
  }

  async function poll() {
    for (;;) {
      try {
        const r = await api('GET', '/api/room?after=' + room.version);
        if (r.status === 401) return;
        if (r.status === 200) {
          room = r.data;
          receivedAt = Date.now();
          $('connection').textContent = '';
          render();
        }
      } catch (e) {
        $('connection').textContent = 'no connection to the console';
        await new Promise((ok) => setTimeout(ok, 1000));
      }
      await new Promise((ok) => setTimeout(ok, 200));
    }
  }

  async function act(action, stations, extra) {
    const names = stations.map((a) => (cards.get(a) ? cards.get(a).station.name : a));
    if ((action === 'reboot' || action === 'shutdown') &&
        !window.confirm((action === 'reboot' ? 'Restart ' : 'Shut down ') + names.join(', ') + '?')) {
      return;
    }
    const rented = stations.filter((a) => cards.get(a) && cards.get(a).station.state !== 'free');
    if (action === 'end' && rented.length &&
        !window.confirm('End the session on ' + rented.map((a) => cards.get(a).station.name).join(', ') + '?')) {
      return;
    }
    const body = Object.assign({ action, stations }, extra || {});
    if (action === 'start' || action === 'add') body.minutes = parseInt($('minutes').value, 10);
    if (action === 'volume') body.volume = parseInt($('volume').value, 10);
    if (action === 'reboot' || action === 'shutdown') body.confirm = true;
    const r = await api('POST', '/api/act', body);
    const msg = $('message');
    if (r.data && r.data.results) {
      const failed = r.data.results.filter((x) => !x.ok);
      msg.className = failed.length ? 'error' : '';
      msg.textContent = failed.length
        ? failed.map((x) => ((cards.get(x.station) || {}).station || { name: x.station }).name + ': ' + x.error).join('; ')
        : action.replace('_', ' ') + ': done for ' + names.join(', ');
    } else if (r.status !== 401) {
      msg.className = 'error';
      msg.textContent = (r.data && r.data.error) || ('failed (' + r.status + ')');
    }
    if (action === 'start' || action === 'add' || action === 'end') loadSessions();
  }

  // Adopting an unknown station, or removing one that joined the room by
  // reporting (asked first: a stray click must not cost a station).
  async function changeStation(action, address) {
    const st = cards.get(address).station;
    const label = st.name === st.address ? st.address : st.name + ' (' + st.address + ')';
    if (action === 'remove' && !window.confirm('Remove ' + label + ' from the room and the record?')) return;
    const body = { action, station: address };
    if (action === 'remove') body.confirm = true;
    const r = await api('POST', '/api/station', body);
    const msg = $('message');
    const failed = r.data && r.data.results ? r.data.results.filter((x) => !x.ok) : [];
    if (r.status === 200) {
      msg.className = '';
      msg.textContent = (action === 'adopt' ? 'Adopted ' : 'Removed ') + label;
    } else if (r.status !== 401) {
      msg.className = 'error';
      msg.textContent = label + ': ' + (failed.length ? failed[0].error : (r.data && r.data.error) || ('failed (' + r.status + ')'));
    }
  }

  let windowsStation = null;
  async function openWindows(address) {
    windowsStation = address;
    const st = cards.get(address).station;
    $('windows-title').textContent = 'Windows on ' + st.name;
    $('windows-list').textContent = '';
    if (!$('windows-dialog').open) $('windows-dialog').showModal();
    await refreshWindows();
  }

  async function refreshWindows() {
    const address = windowsStation;
    const asked = Date.now();
    $('windows-state').textContent = 'Asking the station…';
    await api('POST', '/api/act', { action: 'windows', stations: [address] });
    for (let i = 0; i < 15; i++) {
      await new Promise((ok) => setTimeout(ok, 200));
      const r = await api('GET', '/api/windows?station=' + encodeURIComponent(address));
      if (r.status !== 200) break;
      if (r.data.at !== null && r.data.at >= asked - 1000) { showWindows(address, r.data.windows); return; }
    }
    $('windows-state').textContent = 'The station did not answer.';
  }

  function showWindows(address, windows) {
    const list = $('windows-list');
    list.textContent = '';
    $('windows-state').textContent = windows.length ? '' : 'No window with a caption.';
    for (const caption of windows) {
      const li = el('li');
      const kill = el('button', 'danger', 'Kill');
      kill.addEventListener('click', async () => {
        await act('kill', [address], { caption });
        setTimeout(refreshWindows, 500);
      });
      li.append(el('span', '', caption), kill);
      list.append(li);
    }
  }

  async function loadSessions() {
    const day = $('day').value || today();
    $('csv').href = '/api/sessions.csv?day=' + encodeURIComponent(day);
    const r = await api('GET', '/api/sessions?day=' + encodeURIComponent(day));
    const rows = $('session-rows');
    rows.textContent = '';
    if (r.status !== 200) return;
    const time = (ms) => (ms === null ? '' : new Date(ms).toLocaleTimeString());
    for (const s of r.data.sessions) {
      const tr = el('tr');
      for (const v of [s.station, time(s.started_at), time(s.ended_at), s.minutes, s.started_by, s.ended_by || '']) {
        tr.append(el('td', '', String(v)));
      }
      rows.append(tr);
    }
  }

  $('login-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    $('login-error').textContent = '';
    $('login-button').disabled = true;
    $('login-button').textContent = 'Checking…';
    let r;
    try {
      r = await api('POST', '/api/login', { name: $('login-name').value, password: $('login-password').value });
    } catch (err) {
      r = { status: 0, data: { error: 'no connection to the console' } };
    }
    $('login-button').disabled = false;
    $('login-button').textContent = 'Log in';
    if (r.status === 200) {
      csrf = r.data.csrf;
      $('login-password').value = '';
      showMain(r.data.operator);
      poll();
    } else {
      $('login-error').textContent = (r.data && r.data.error) || 'log-in failed';
    }
  });
  $('logout').addEventListener('click', async () => { await api('POST', '/api/logout', {}); location.reload(); });
  $('select-all').addEventListener('click', () => { for (const a of cards.keys()) selected.add(a); updateSelection(); });
  $('select-none').addEventListener('click', () => { selected.clear(); updateSelection(); });
  for (const b of document.querySelectorAll('#toolbar button[data-act]')) {
    b.addEventListener('click', () => {
      if (selected.size === 0) { $('message').className = 'error'; $('message').textContent = 'Select one or more stations first.'; return; }
      act(b.dataset.act, Array.from(selected));
    });
  }
  $('windows-refresh').addEventListener('click', refreshWindows);
  $('day').addEventListener('change', loadSessions);
  setInterval(tick, 1000);
  setInterval(loadSessions, 30000);

  (async () => {
    const r = await api('GET', '/api/me');
    if (r.status === 200) { csrf = r.data.csrf; showMain(r.data.operator); poll(); }
  })();
})();
)js";

}  // namespace zalvo::console
