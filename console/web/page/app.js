
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
