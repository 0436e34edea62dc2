// The room: its cards, the selection, the operators' actions on stations
// (their list and fields come from the console's table at the log-in), and
// the log-in itself.
import { $, el, api, refusalText, loadPart, partFailed, session, setSession, whenLoggedOut, stations, selected,
  nameOf } from './common.js';
import * as till from './till.js';
import * as admin from './admin.js';

// The room's last answer (its version, epoch, counters).
let room = { version: 0, epoch: '' };
let disconnectedAt = 0;  // since when the console can't be reached, 0 while it can
let polling = 0;  // the room's poll that runs (see poll)
const cards = new Map();

function showLogin() {
  polling++;  // a poll under way ends
  $('start-error').hidden = true;
  $('main').hidden = true;
  $('login').hidden = false;
  $('login-name').focus();
}

whenLoggedOut(showLogin);

// The page after the log-in: the toolbar's actions as the console's table
// has them (one the role may not do is hidden), the minutes' bound.
function showMain(me) {
  setSession(me);
  const role = me.role;
  $('start-error').hidden = true;
  $('login').hidden = true;
  $('main').hidden = false;
  $('operator').textContent = me.operator + (role === 'owner' ? ' (owner)' : '');
  document.body.classList.toggle('owner', role === 'owner');
  for (const b of document.querySelectorAll('#toolbar button[data-act]')) {
    const action = session.actions.get(b.dataset.act);
    b.hidden = !action || (action.role === 'owner' && role !== 'owner');
  }
  $('minutes').max = String(session.maxMinutes);
  till.start();
  admin.start(role);
  loadRoomFile();
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

// The seconds left now: the station's answer gave them at the moment it
// arrived (st.at); while the console can't be reached the clocks stop.
function secondsLeft(st) {
  if (!st.session) return null;
  const until = disconnectedAt || Date.now();
  return st.session.seconds_left - Math.floor((until - st.at) / 1000);
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
    left: el('div', 'left'), online: el('div', 'detail online-text'), fg: el('div', 'detail fg'),
    disk: el('div', 'detail disk'), note: el('div', 'note'), actions: el('div', 'actions'),
  };
  top.append(box, card.parts.dot, card.parts.name);
  const button = (label, cls, onClick) => {
    const b = el('button', cls, label);
    b.addEventListener('click', (e) => { e.stopPropagation(); onClick(); });
    return b;
  };
  // The card's own session buttons take the minutes field.
  const start = button('Start', 'card-start', () => act('start', [address]));
  const add = button('Add', 'card-add', () => act('add', [address]));
  const end = button('End', 'card-end plain', () => act('end', [address]));
  const windows = button('Windows', 'plain', () => openWindows(address));
  const edit = button('Edit', 'plain owner-only card-edit', () => openStation('edit', address));
  const adopt = button('Adopt', 'owner-only', () => openStation('adopt', address));
  const remove = button('Remove', 'plain owner-only', () => removeStation(address));
  Object.assign(card.parts, { start, add, end, windows, edit, adopt, remove });
  card.parts.actions.append(start, add, end, windows, edit, adopt, remove);
  card.parts.note.textContent = 'Reported by itself';
  const line = el('div', 'line');
  line.append(card.parts.state, card.parts.left);
  card.append(top, line, card.parts.note, card.parts.fg, card.parts.disk,
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
  const text = selected.size === 0 ? 'No station selected'
    : selected.size + (selected.size === 1 ? ' station selected' : ' stations selected');
  $('selected-count').textContent = text;
  $('toolbar-toggle').textContent = selected.size ? 'Actions (' + selected.size + ')' : 'Actions';
}

// What the station's card says about its connection: the room's own
// word when it gives one, else online or offline.
function connectionOf(st) {
  if (st.connection) return st.connection;
  return st.online ? 'online' : 'offline';
}

function renderCard(st) {
  let card = cards.get(st.address);
  if (!card) {
    card = makeCard(st.address);
    cards.set(st.address, card);
  }
  const container = st.unknown ? $('stranger-cards') : $('room');
  if (card.parentElement !== container) container.append(card);
  card.station = st;
  const connection = connectionOf(st);
  card.parts.name.textContent = st.name;
  card.title = st.name + ' (' + st.address + ')';
  card.style.gridColumn = st.column && !st.unknown ? String(st.column) : '';
  card.style.gridRow = st.row && !st.unknown ? String(st.row) : '';
  card.classList.toggle('online', connection === 'online' || connection === 'starting');
  card.classList.toggle('offline', connection === 'offline');
  card.classList.toggle('lost', connection === 'lost');
  card.classList.toggle('starting', connection === 'starting');
  card.classList.remove('free', 'rented', 'overrun');
  card.classList.add(st.state);
  card.classList.toggle('unknown', st.unknown);
  card.parts.state.textContent = st.unknown ? 'unknown' : st.state;
  const p = card.parts;
  p.box.hidden = st.unknown;
  p.windows.hidden = st.unknown;
  p.adopt.hidden = !st.unknown;
  p.edit.hidden = st.unknown;
  p.note.hidden = !st.unknown;
  p.left.hidden = st.unknown;
  p.disk.hidden = st.unknown;
  p.start.hidden = st.unknown || st.state !== 'free';
  p.add.hidden = st.unknown || st.state === 'free';
  p.end.hidden = st.unknown || st.state === 'free';
  if (st.unknown) selected.delete(st.address);
  p.online.textContent = connection === 'lost' ? 'no connection during session'
    : connection === 'starting' ? 'starting'
    : connection === 'online' ? 'online'
    : (st.last_heard_ms === null ? 'offline: never heard' : 'offline');
  p.fg.textContent = st.foreground === null ? 'program: not reported'
    : (st.foreground === '' ? 'program: none' : 'program: ' + st.foreground);
  p.disk.textContent = disk(st.free_mb);
  tickCard(card);
}

// An answer of the room: the whole room, or the stations changed since the
// version the page had and the addresses removed since.
function merge(data) {
  const at = Date.now();
  if (data.full) stations.clear();
  for (const address of data.removed || []) stations.delete(address);
  for (const st of data.stations) {
    st.at = at;
    stations.set(st.address, st);
  }
  room = data;
  for (const st of data.stations) renderCard(st);
  for (const [address, card] of cards) {
    if (!stations.has(address)) { card.remove(); cards.delete(address); selected.delete(address); }
  }
  renderRoom();
}

function renderRoom() {
  let rented = 0, online = 0, unknown = 0, columns = 0;
  for (const st of stations.values()) {
    if (st.unknown) { unknown++; continue; }
    if (st.online) online++;
    if (st.state !== 'free') rented++;
    columns = Math.max(columns, st.column || 0);
  }
  // A room file that places the stations: its columns share the width.
  $('room').classList.toggle('placed', columns > 0);
  $('room').style.setProperty('--columns', String(Math.max(columns, 1)));
  $('strangers').hidden = unknown === 0;
  $('summary').textContent = (stations.size - unknown) + ' stations, ' + online + ' online, ' + rented + ' rented' +
    (unknown ? ', ' + unknown + ' unknown' : '');
  const lost = room.lost_count || 0;
  $('lost-count').hidden = lost === 0;
  $('lost-count').textContent = lost + ' without connection during session';
  const c = room.counters || {};
  $('counters').textContent = 'Datagrams ' + c.datagrams + ', reports ' + c.reports +
    ', from unknown addresses ' + c.unknown_sender + ', not understood ' + c.garbage +
    ', too long or failed ' + c.failed_receives + ', refused ' + c.refused + ', added stations ' + c.stations_added;
  updateSelection();
}

function tickCard(card) {
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

function tick() {
  if (disconnectedAt) return;
  for (const card of cards.values()) tickCard(card);
}

// The console can't be reached: the room is greyed out and its clocks
// stop until an answer comes again.
function setConnected(connected) {
  if (connected === !disconnectedAt) return;
  disconnectedAt = connected ? 0 : Date.now();
  document.body.classList.toggle('disconnected', !connected);
  $('offline').hidden = connected;
}

// The room's long poll. A new log-in starts a new one, which takes the whole
// room afresh; the one before ends at its next turn. The first answer comes
// at once: until it does the page says it is loading, and if it can't come
// the page says why, with a retry (the loop itself goes on trying).
async function poll() {
  const mine = ++polling;
  room = { version: 0, epoch: '' };
  let first = true;
  $('room-loading').hidden = false;
  const retry = () => { if (mine === polling) poll(); };
  while (mine === polling) {
    let wait = 200;
    let r = null;
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), first ? 10000 : 25000);
    try {
      r = await api('GET', '/api/room?after=' + room.version + '&epoch=' + encodeURIComponent(room.epoch || ''),
                    undefined, abort.signal);
    } catch (e) {
      r = null;
    }
    clearTimeout(timer);
    if (mine !== polling || (r && r.status === 401)) return;
    let shown = false;
    if (r && r.status === 200 && r.data) {
      try {
        merge(r.data);
        shown = true;
      } catch (e) {
        r = { status: 200, data: { error: 'the room could not be shown (' + e.message + ')' } };
      }
    }
    setConnected(shown);
    if (shown && first) {
      first = false;
      $('room-loading').hidden = true;
      $('room-error').hidden = true;
    } else if (!shown) {
      if (first) partFailed('room-error', r, retry);
      wait = 1000;
    }
    await new Promise((ok) => setTimeout(ok, wait));
  }
}

function message(text, isError) {
  const msg = $('message');
  msg.className = isError ? 'error' : '';
  msg.textContent = text;
}

// The minutes field as a whole number from 1 to the longest session, or
// null after saying why not.
function minutes() {
  const field = $('minutes');
  const raw = field.value.trim();
  const value = Number(raw);
  if (!/^[0-9]+$/.test(raw) || value < 1 || value > session.maxMinutes) {
    field.setAttribute('aria-invalid', 'true');
    message('Minutes must be a whole number from 1 to ' + session.maxMinutes + ' (not “' + field.value + '”).', true);
    field.focus();
    return null;
  }
  field.removeAttribute('aria-invalid');
  return value;
}

// Asks the operator in the page's own dialog; resolves true for the
// confirming button. `extra(box)` may fill the dialog's extra part.
function ask(title, text, items, okLabel, extra) {
  const d = $('confirm-dialog');
  $('confirm-title').textContent = title;
  $('confirm-text').textContent = text;
  const list = $('confirm-list');
  list.textContent = '';
  for (const item of items) list.append(el('li', '', item));
  const refund = $('end-refund');
  refund.textContent = '';
  refund.hidden = true;
  $('confirm-ok').disabled = false;
  if (extra) extra(refund);
  refund.hidden = !refund.hasChildNodes();
  $('confirm-ok').textContent = okLabel;
  return new Promise((resolve) => {
    const done = (answer) => {
      $('confirm-ok').onclick = null;
      $('confirm-cancel').onclick = null;
      d.oncancel = null;
      if (d.open) d.close();
      resolve(answer);
    };
    $('confirm-ok').onclick = () => done(true);
    $('confirm-cancel').onclick = () => done(false);
    d.oncancel = (e) => { e.preventDefault(); done(false); };
    d.showModal();
    $('confirm-cancel').focus();
  });
}

// The end confirmation's part about the money of the sessions that end:
// the refund offered for their unused minutes, which the operator pays out
// or keeps (the dialog's button waits for the choice). `box` is the
// dialog's empty #end-refund, shown when something is put in it.
let refundChoice;  // the choice, undefined when no refund is offered
function endConfirmationRefund(box, offer) {
  refundChoice = undefined;
  if (!offer || offer.refund <= 0) return;
  box.append(el('p', '', 'A refund of ' + till.withCurrency(offer.refund) + ' is offered for ' +
    offer.minutes + ' unused minutes.'));
  for (const [value, label] of [[true, 'Pay it out'], [false, 'Keep it']]) {
    const choice = el('label', 'choice');
    const radio = el('input');
    radio.type = 'radio';
    radio.name = 'refund';
    radio.id = value ? 'refund-pay' : 'refund-keep';
    radio.addEventListener('change', () => { refundChoice = value; $('confirm-ok').disabled = false; });
    choice.append(radio, ' ' + label);
    box.append(choice);
  }
  $('confirm-ok').disabled = true;
}

// What the action will do, asked first where it ends sessions, closes a
// program or takes stations down; false when the operator says no.
async function confirmAction(action, addresses, extra) {
  const rented = addresses.filter((a) => stations.get(a) && stations.get(a).state !== 'free');
  const names = addresses.map(nameOf);
  const sessions = (n) => n + (n === 1 ? ' session' : ' sessions');
  if (action === 'end') {
    if (!rented.length) return true;  // nothing ends: the room says so
    const free = addresses.length - rented.length;
    const offer = await till.previewEnd(rented);
    return ask('End ' + sessions(rented.length) + '?',
               'The time left on these stations is given up and they lock at once.' +
               (free ? ' ' + free + ' of the selected ' + (free === 1 ? 'is' : 'are') + ' free: nothing ends there.' : ''),
               rented.map(nameOf), 'End ' + sessions(rented.length),
               (box) => endConfirmationRefund(box, offer));
  }
  if (action === 'kill') {
    return ask('Close this program?', 'The window “' + extra.caption + '” on ' + names.join(', ') +
               ' is closed; whatever is unsaved in it is lost.', [], 'Close it');
  }
  if (action === 'reboot' || action === 'shutdown') {
    const verb = action === 'reboot' ? 'Restart' : 'Shut down';
    const text = (action === 'reboot' ? 'These stations restart now' : 'These stations turn off now') +
      '; unsaved work on them is lost.' +
      (rented.length ? ' ' + sessions(rented.length) + ' on them ' + (rented.length === 1 ? 'goes' : 'go') +
        ' on running: end ' + (rented.length === 1 ? 'it' : 'them') + ' first if the customer leaves.' : '');
    return ask(verb + ' ' + addresses.length + (addresses.length === 1 ? ' station?' : ' stations?'), text, names,
               verb);
  }
  return true;
}

// The page's inputs of the actions' fields, by the field's name in the
// console's table; a field without one here comes with the call (the
// caption of a window, the refund's choice).
const fieldInputs = {
  minutes: () => minutes(),
  volume: () => parseInt($('volume').value, 10),
  text: () => $('customer-text').value,
};

// Carries an action out on the stations; the selection clears once it is
// sent (not when it is refused on the page or the operator says no).
async function act(action, addresses, extra) {
  const spec = session.actions.get(action) || { field: '', confirm: false };
  const body = Object.assign({ action, stations: addresses }, extra || {});
  if (spec.field && body[spec.field] === undefined && fieldInputs[spec.field]) {
    const value = fieldInputs[spec.field]();
    if (value === null) return;
    body[spec.field] = value;
  }
  if (!(await confirmAction(action, addresses, extra))) return;
  if (spec.confirm) body.confirm = true;
  if (action === 'end' && refundChoice !== undefined) body.refund = refundChoice;
  selected.clear();
  updateSelection();
  const names = addresses.map(nameOf);
  let r;
  try {
    r = await api('POST', '/api/act', body);
  } catch (e) {
    message(action.replace('_', ' ') + ': not sent, no connection to the console', true);
    return;
  }
  if (r.data && r.data.results) {
    const failed = r.data.results.filter((x) => !x.ok);
    const done = spec.done || 'done';
    message(failed.length
      ? failed.map((x) => nameOf(x.station) + ': ' + x.error).join('; ')
      : action.replace('_', ' ') + ': ' + done + (done === 'sent' ? ' to ' : ' for ') + names.join(', '),
      failed.length > 0);
    if (action === 'message' && !failed.length) $('customer-text').value = '';
    const forceable = failed.filter((x) => x.can_force).map((x) => x.station);
    if (action === 'start' && forceable.length) offerAnyway(forceable, body.minutes);
  } else if (r.status !== 401) {
    message(refusalText(r), true);
  }
  if (action === 'start' || action === 'add' || action === 'end') till.refresh();
  admin.loadLog();
}

// A start the room refused but may be forced: "start anyway" sends the
// same start again for those stations.
function offerAnyway(addresses, m) {
  const b = el('button', 'danger', 'Start anyway on ' + addresses.map(nameOf).join(', '));
  b.id = 'start-anyway';
  b.addEventListener('click', () => { b.remove(); act('start', addresses, { minutes: m, anyway: true }); });
  $('message').append(' ', b);
}

// What a change of the room answered: what it changed (or why it was
// refused), for the message line.
function roomChangeText(label, r) {
  const result = r && r.data && r.data.results ? r.data.results[0] : null;
  if (r && r.status === 200) return label + ': ' + ((result && result.changed) || 'done');
  return label + ': ' + (result && result.error ? result.error : refusalText(r));
}

async function postRoomChange(body) {
  try {
    return await api('POST', '/api/station', body);
  } catch (e) {
    return null;
  }
}

// Removing a station from the room (asked first: a stray click must not cost
// a station); its sessions and sales stay on record.
async function removeStation(address) {
  const st = cards.get(address).station;
  const label = st.name === st.address ? st.address : st.name + ' (' + st.address + ')';
  if (!(await ask('Remove ' + label + '?',
                  'It leaves the room; its sessions and sales stay on record. If it reports again it shows as unknown.',
                  [], 'Remove'))) return;
  const r = await postRoomChange({ action: 'remove', station: address, confirm: true });
  if (r && r.status === 401) return;
  message(roomChangeText('Removed ' + label, r), !r || r.status !== 200);
}

// The station dialog: a new station (its address too), one adopted, or one
// edited. An edit sends only what was changed in the dialog, so that another
// owner's change of the rest at the same time stays; the answer says what
// the edit changed.
let stationEdit = null;
function openStation(action, address) {
  const st = address ? stations.get(address) : null;
  const was = {
    name: st && action === 'edit' ? st.name : '',
    column: st && action === 'edit' ? st.column || 0 : 0,
    row: st && action === 'edit' ? st.row || 0 : 0,
    group: st && action === 'edit' ? till.groupIdOf(address) : null,
  };
  stationEdit = { action, address, was };
  $('station-title').textContent = action === 'add' ? 'Add a station'
    : action === 'adopt' ? 'Adopt the station at ' + address : 'The station ' + st.name + ' (' + address + ')';
  $('station-address-label').hidden = action !== 'add';
  $('station-address').value = '';
  $('station-name').value = was.name;
  $('station-name').placeholder = action === 'adopt' ? address : '';
  $('station-name').required = action !== 'adopt';
  $('station-column').value = String(was.column);
  $('station-row').value = String(was.row);
  const group = $('station-group');
  group.textContent = '';
  const none = el('option', '', 'no group');
  none.value = '';
  group.append(none);
  for (const g of till.groups()) {
    const o = el('option', '', g.name);
    o.value = String(g.id);
    group.append(o);
  }
  group.value = was.group === null ? '' : String(was.group);
  $('station-error').textContent = '';
  $('station-dialog').showModal();
  (action === 'add' ? $('station-address') : $('station-name')).focus();
}

$('station-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const { action, was } = stationEdit;
  const address = action === 'add' ? $('station-address').value.trim() : stationEdit.address;
  const body = { action, station: address };
  const name = $('station-name').value.trim();
  const column = parseInt($('station-column').value || '0', 10) || 0;
  const row = parseInt($('station-row').value || '0', 10) || 0;
  const group = $('station-group').value === '' ? null : parseInt($('station-group').value, 10);
  if (name !== was.name && !(action === 'adopt' && name === '')) body.name = name;
  if (column !== was.column || row !== was.row) { body.column = column; body.row = row; }
  if (group !== was.group) body.group = group;
  $('station-save').disabled = true;
  const r = await postRoomChange(body);
  $('station-save').disabled = false;
  if (r && r.status === 200) {
    $('station-dialog').close();
    message(roomChangeText((name || address) + ' (' + address + ')', r), false);
    till.refresh();
    loadRoomFile();
  } else if (!r || r.status !== 401) {
    $('station-error').textContent = roomChangeText('Not saved', r);
  }
});
$('station-cancel').addEventListener('click', () => $('station-dialog').close());
$('station-add').addEventListener('click', () => openStation('add', null));

// The room file's lines the record lacks, offered to an owner: taken over,
// or left (the page then stops offering them until the file changes).
async function loadRoomFile() {
  if (session.role !== 'owner') { $('room-file').hidden = true; return; }
  await loadPart('room-file-error', '/api/room-file', (data) => {
    const list = $('room-file-lines');
    list.textContent = '';
    const box = $('room-file');
    box.hidden = !data.problem && (data.missing.length === 0 || data.dismissed);
    $('room-file-buttons').hidden = !!data.problem;
    if (data.problem) {
      $('room-file-text').textContent = 'The room file can\'t be read: ' + data.problem + '. The record holds the room.';
      return;
    }
    $('room-file-text').textContent = 'The room file has ' + data.missing.length +
      (data.missing.length === 1 ? ' line' : ' lines') + ' the room here does not:';
    for (const line of data.missing) list.append(el('li', '', line));
  });
}
for (const [id, action] of [['room-file-take', 'take_over'], ['room-file-dismiss', 'dismiss']]) {
  $(id).addEventListener('click', async () => {
    const r = await postRoomChange({ action });
    if (r && r.status === 401) return;
    message(roomChangeText(action === 'take_over' ? 'The room file\'s lines' : 'The room file', r), !r || r.status !== 200);
    till.refresh();
    loadRoomFile();
  });
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
    $('login-password').value = '';
    showMain(r.data);
    poll();
  } else {
    $('login-error').textContent = (r.data && r.data.error) || 'log-in failed';
  }
});
$('logout').addEventListener('click', async () => { await api('POST', '/api/logout', {}); location.reload(); });
$('select-all').addEventListener('click', () => {
  for (const st of stations.values()) if (!st.unknown) selected.add(st.address);
  updateSelection();
});
$('select-none').addEventListener('click', () => { selected.clear(); updateSelection(); });
const withSelection = (then) => () => {
  if (selected.size === 0) { message('Select one or more stations first.', true); return; }
  then(Array.from(selected));
};
for (const b of document.querySelectorAll('#toolbar button[data-act]')) {
  b.addEventListener('click', withSelection((addresses) => act(b.dataset.act, addresses)));
}
// A preset sets the minutes (which the cards' buttons take too) and starts
// sessions of that length on the selected stations.
for (const b of document.querySelectorAll('#toolbar button[data-preset]')) {
  b.addEventListener('click', () => {
    $('minutes').value = b.dataset.preset;
    $('minutes').removeAttribute('aria-invalid');
    if (selected.size === 0) { message('Minutes set to ' + b.dataset.preset + '; select stations to start them.', false); return; }
    act('start', Array.from(selected));
  });
}
// The compact room (many stations on one screen), remembered by the browser.
const setCompact = (on) => {
  document.body.classList.toggle('compact', on);
  $('compact').checked = on;
  try { localStorage.setItem('zalvo.compact', on ? '1' : '0'); } catch (e) { /* private mode */ }
};
let compactSaved = null;
try { compactSaved = localStorage.getItem('zalvo.compact'); } catch (e) { /* private mode */ }
setCompact(compactSaved === '1');
$('compact').addEventListener('change', () => setCompact($('compact').checked));
// On a phone the toolbar folds away behind the header's button.
$('toolbar-toggle').addEventListener('click', () => {
  const open = !document.body.classList.contains('toolbar-open');
  document.body.classList.toggle('toolbar-open', open);
  $('toolbar-toggle').setAttribute('aria-expanded', String(open));
});
$('windows-refresh').addEventListener('click', refreshWindows);
setInterval(tick, 1000);

// At the start: the page of the log-in the browser holds, or the log-in; when
// the console does not answer, the page says so, with a retry.
async function start() {
  document.body.dataset.started = '1';
  $('start-error').hidden = true;
  let r = null;
  try { r = await api('GET', '/api/me'); } catch (e) { r = null; }
  if (r && r.status === 200 && r.data) { showMain(r.data); poll(); return; }
  if (r && r.status === 401) return;
  $('main').hidden = true;
  $('login').hidden = true;
  $('start-error-text').textContent = 'The console did not answer as it should: ' + refusalText(r) + '.';
  $('start-error').hidden = false;
}
$('start-retry').addEventListener('click', start);
start();
