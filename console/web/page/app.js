// The room: its cards, the selection, the operators' actions on stations
// (their list and fields come from the console's table at the log-in), and
// the log-in itself.
import {
  $, el, api, refusalText, loadPart, partFailed, session, setSession, whenLoggedOut, stations, selected, nameOf,
  parseMinutes, sendOnce, resendPending, setBusy, ask, askText,
} from './common.js';
import * as till from './till.js';
import * as admin from './admin.js';
import * as members from './members.js';

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
till.whenLoaded(() => { updateQuote(); $('sale-member').hidden = !till.selling(); });
members.whenChosen(() => updateQuote());

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
  till.start();
  admin.start(role);
  members.start();
  updateQuote();
  resendPending(lateAnswer);
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
    left: el('div', 'left'), sold: el('span', 'sold'), online: el('div', 'detail online-text'), fg: el('div', 'detail fg'),
    disk: el('div', 'detail disk'), note: el('div', 'note'), actions: el('div', 'actions'),
    word: el('div', 'word'),
  };
  top.append(box, card.parts.dot, card.parts.name);
  const button = (label, cls, onClick) => {
    const b = el('button', cls, label);
    b.addEventListener('click', (e) => { e.stopPropagation(); onClick(); });
    return b;
  };
  // The card's own session buttons take the minutes field; while one's
  // request is under way the card's buttons take no click.
  const start = button('Start', 'card-start', () => act('start', [address], undefined, card));
  const add = button('Add', 'card-add', () => act('add', [address], undefined, card));
  const end = button('End', 'card-end plain', () => act('end', [address], undefined, card));
  const windows = button('Windows', 'plain', () => openWindows(address));
  const edit = button('Edit', 'plain owner-only card-edit', () => openStation('edit', address));
  const adopt = button('Adopt', 'owner-only', () => openStation('adopt', address));
  const remove = button('Remove', 'plain owner-only', () => removeStation(address));
  // A station that disagrees with the record: its session recorded (a
  // start of the minutes it has), or ended; an end it does not confirm,
  // closed on record by an owner.
  const record = button('Record it', 'card-record', () => {
    const st = card.station;
    act('start', [address], { minutes: Math.max(1, Math.ceil(st.station_state.seconds_left / 60)) });
  });
  const close = button('Close…', 'card-close danger owner-only', () => closeRecord(address));
  const unkeyed = button('', 'card-unkeyed plain owner-only', () => markUnkeyed(address));
  Object.assign(card.parts, { start, add, end, windows, edit, adopt, remove, record, close, unkeyed });
  card.parts.actions.append(start, add, end, record, close, windows, edit, adopt, remove, unkeyed);
  card.parts.note.textContent = 'Reported by itself';
  const line = el('div', 'line');
  line.append(card.parts.state, card.parts.left, card.parts.sold);
  card.append(top, line, card.parts.word, card.parts.note, card.parts.fg, card.parts.disk,
              card.parts.online, card.parts.actions);
  card.addEventListener('click', (e) => {
    if (e.target.closest('button')) return;  // a busy button's click
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
  updateQuote();
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
  card.classList.remove('free', 'rented', 'overrun', 'ending');
  card.classList.add(st.state);
  card.classList.toggle('unknown', st.unknown);
  card.classList.toggle('mismatch', !!st.mismatch);
  card.parts.state.textContent = st.unknown ? 'unknown' : st.state;
  const p = card.parts;
  p.box.hidden = st.unknown;
  p.windows.hidden = st.unknown;
  p.adopt.hidden = !st.unknown;
  p.edit.hidden = st.unknown;
  p.note.hidden = !st.unknown;
  p.left.hidden = st.unknown;
  p.disk.hidden = st.unknown;
  const running = !!(st.mismatch && st.mismatch.kind === 'running');
  p.start.hidden = st.unknown || st.state !== 'free' || running;
  p.add.hidden = st.unknown || st.state === 'free' || st.state === 'ending';
  p.end.hidden = st.unknown || (st.state === 'free' && !running) || st.state === 'ending';
  p.record.hidden = st.unknown || !running;
  p.close.hidden = st.unknown || st.state !== 'ending';
  p.unkeyed.hidden = st.unknown || !room.keyed;
  p.unkeyed.textContent = st.unkeyed ? 'Mark keyed' : 'Mark unkeyed';
  p.word.textContent = wordOf(st);
  p.word.hidden = st.unknown || p.word.textContent === '';
  if (st.unknown) selected.delete(st.address);
  p.online.textContent = connection === 'lost' ? 'no connection during session'
    : connection === 'starting' ? 'starting'
    : connection === 'online' ? 'online'
    : (st.last_heard_ms === null ? 'offline: never heard' : 'offline');
  p.fg.textContent = st.foreground === null ? 'program: not reported'
    : (st.foreground === '' ? 'program: none' : 'program: ' + st.foreground);
  p.disk.textContent = disk(st.free_mb);
  // What the session was sold for so far.
  const sold = st.session && st.session.sold !== null && st.session.sold !== undefined;
  p.sold.hidden = !sold;
  p.sold.textContent = sold ? till.withCurrency(st.session.sold) : '';
  tickCard(card);
}

function hhmm(ms) { return new Date(ms).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' }); }

// What the card says beside the session: a disagreement with the record and
// what to do, an end the station has not confirmed, a start held for it,
// the console's last word of its own, and what can't be verified.
function wordOf(st) {
  const words = [];
  if (st.mismatch) words.push('Mismatch: ' + st.mismatch.text);
  if (st.ending && st.state === 'ending') {
    words.push('Ending since ' + hhmm(st.ending.asked_at) + ': waiting for the station to confirm; the end is sent again whenever it is heard');
  } else if (st.ending) {
    words.push('Closed without the station’s word: the end is still sent when it is heard');
  }
  if (st.queued) words.push('Queued: ' + st.queued.action + ' ' + st.queued.minutes + ' min when the station is heard (until ' + hhmm(st.queued.until) + ')');
  if (st.notice) words.push(st.notice);
  const doubts = [];
  if (st.state_support === 'no') doubts.push('no state');
  if (!st.verified) doubts.push('unverified');
  if (doubts.length) words.push(doubts.join(', '));
  return words.join(' · ');
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
  $('unkeyed-banner').hidden = room.keyed !== false;
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
  if (left !== null && st.state !== 'ending') state = left > 0 ? 'rented' : 'overrun';
  if (state !== st.state && !st.unknown) {
    card.classList.remove('free', 'rented', 'overrun', 'ending');
    card.classList.add(state);
    card.parts.state.textContent = state;
  }
  card.parts.left.textContent = left === null ? '—'
    : (left > 0 ? clock(left) + ' left' : clock(left) + ' over' + overrunAmount(st, left));
}

// Where the club is paid afterwards, the minutes over sell at the tariff
// when the session ends: the amount so far (a minute begun counts whole).
function overrunAmount(st, left) {
  const t = st.session && st.session.overrun_tariff;
  if (!t || left >= 0) return '';
  const minutes = Math.ceil(-left / 60);
  const price = Math.max(t.minimum, Math.ceil(minutes * t.per_hour / 60));
  return ', ' + till.withCurrency(price) + ' to pay';
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
    if (shown && disconnectedAt) resendPending(lateAnswer);
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
// null after saying why not. The field is text, read as typed: "6o" or
// "4,5" are refused, never read as 6 or 45.
function minutes() {
  const field = $('minutes');
  const value = parseMinutes(field.value, session.maxMinutes);
  if (value === null) {
    field.setAttribute('aria-invalid', 'true');
    message('Minutes must be a whole number from 1 to ' + session.maxMinutes + ', in digits (not “' + field.value + '”).', true);
    field.focus();
    return null;
  }
  field.removeAttribute('aria-invalid');
  return value;
}

// What the sale (the minutes, or the package chosen) sells, to the member
// chosen or in cash: the request's fields, or null when the minutes are not
// a whole number (quietly where `quiet`).
function saleFields(quiet) {
  const body = {};
  const p = $('package').value;
  if (p !== '') body.package = Number(p);
  else {
    const m = quiet ? parseMinutes($('minutes').value, session.maxMinutes) : minutes();
    if (m === null) return null;
    body.minutes = m;
  }
  const member = members.chosenMember();
  if (member) body.member = member.id;
  return body;
}

// What the sale will cost on the selected stations, before the click, as
// the console prices it: a free station's start by its group, a rented one's
// added time from its session's end. One price where they agree, else one
// per group or station. A card's Start and Add say it for their station (as
// their tooltip).
let quoted = { key: '', at: 0, groups: [], stations: {} };
async function updateQuote() {
  const out = $('quote');
  const sale = saleFields(true);
  if (sale === null || !till.selling()) { out.textContent = ''; return; }
  const query = Object.entries(sale).map(([k, v]) => k + '=' + v).join('&');
  if (quoted.key !== query || Date.now() - quoted.at > 10000) {
    const r = await api('GET', '/api/quote?' + query);
    if (r.status !== 200) { out.textContent = ''; return; }
    quoted = { key: query, at: Date.now(), groups: r.data.groups, stations: r.data.stations };
  }
  const now = saleFields(true);
  if (now === null || Object.entries(now).map(([k, v]) => k + '=' + v).join('&') !== query) return;  // changed meanwhile
  const what = sale.package !== undefined ? $('package').selectedOptions[0].dataset.name : sale.minutes + ' min';
  // A station's price: its added time's when rented, else its group's start.
  const priceOf = (address) => {
    const st = stations.get(address);
    const g = quoted.groups.find((x) => x.id === till.groupIdOf(address));
    const q = st && st.session && quoted.stations[address] ? quoted.stations[address] : g;
    return { group: st && st.session ? nameOf(address) : (g ? g.name : 'no group'), price: q && q.price !== null ? q.price : null,
      why: q ? q.why : 'in no group' };
  };
  for (const [address, card] of cards) {
    const { price, why } = priceOf(address);
    const title = what + ': ' + (price === null ? why || 'not sold here' : till.withCurrency(price));
    card.parts.start.title = title;
    card.parts.add.title = title;
  }
  const byGroup = new Map();  // the group's (or station's) name -> [price text, count]
  let total = 0, priced = true;
  for (const address of selected) {
    const { group, price, why } = priceOf(address);
    if (price === null) priced = false; else total += price;
    const entry = byGroup.get(group) || [price === null ? 'not sold' + (why ? ' (' + why + ')' : '') : till.withCurrency(price), 0];
    entry[1]++;
    byGroup.set(group, entry);
  }
  const each = Array.from(byGroup.entries());
  const text = each.length === 1 ? each[0][1][0] + (selected.size > 1 ? ' each' : '')
    : each.map(([name, [price]]) => name + ' ' + price).join(', ');
  const member = members.chosenMember();
  out.textContent = selected.size === 0 ? ''
    : what + ': ' + text + (selected.size > 1 && priced ? ' (' + till.withCurrency(total) + ' in all)' : '') +
      (member ? ', from the balance' : '');
}

// The end confirmation's part about the money of the sessions that end:
// the refund offered for their unused minutes, which the operator pays out
// or keeps (the dialog's button waits for the choice). `box` is the
// dialog's empty #end-refund, shown when something is put in it.
let refundChoice;  // the choice, undefined when no refund is offered
function endConfirmationRefund(box, offer) {
  refundChoice = undefined;
  if (offer && offer.balance > 0) {
    box.append(el('p', '', 'A refund of ' + till.withCurrency(offer.balance) + ' goes back to the member\'s balance.'));
  }
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

// Where a rented station's session may move: a free station of the room,
// online ones first.
function moveTargets(from) {
  return Array.from(stations.values())
    .filter((st) => !st.unknown && st.state === 'free' && st.address !== from)
    .sort((a, b) => Number(b.online) - Number(a.online));
}

// What the action will do, asked first where it ends sessions, gives time
// away, moves a session, closes a program or takes stations down; false
// when the operator says no. What the operator chose goes into the body.
async function confirmAction(action, addresses, extra, body) {
  const rented = addresses.filter((a) => stations.get(a) && stations.get(a).state !== 'free');
  const names = addresses.map(nameOf);
  const sessions = (n) => n + (n === 1 ? ' session' : ' sessions');
  if (action === 'end') {
    const unrecorded = addresses.filter((a) => stations.get(a) && stations.get(a).mismatch &&
                                                stations.get(a).mismatch.kind === 'running');
    if (!rented.length && unrecorded.length) {
      return ask('End ' + sessions(unrecorded.length) + ' the record doesn’t have?',
                 'The stations lock at once; nothing is sold or refunded.', unrecorded.map(nameOf), 'End');
    }
    if (!rented.length) return true;  // nothing ends: the room says so
    const free = addresses.length - rented.length;
    const offer = await till.previewEnd(rented);
    return ask('End ' + sessions(rented.length) + '?',
               'The time left on these stations is given up and they lock at once.' +
               (free ? ' ' + free + ' of the selected ' + (free === 1 ? 'is' : 'are') + ' free: nothing ends there.' : ''),
               rented.map(nameOf), 'End ' + sessions(rented.length),
               (box) => endConfirmationRefund(box, offer));
  }
  if (action === 'free') {
    let reason;
    const given = await ask('Give ' + body.minutes + ' free minutes?',
      'At no charge, added to the session (or starting one) on these stations; the shift\'s report counts them.',
      names, 'Give them', (box) => { reason = askText(box, 'Why:', 'free-reason'); });
    body.reason = reason();
    return given;
  }
  if (action === 'move') {
    if (addresses.length !== 1 || !rented.length) {
      message('Select the one rented station whose session moves.', true);
      return false;
    }
    const targets = moveTargets(addresses[0]);
    if (!targets.length) { message('No free station to move to.', true); return false; }
    let select;
    const moved = await ask('Move the session of ' + names[0] + '?',
      'Its time and its sale go to the station chosen, which is started first; then ' + names[0] + ' locks. ' +
      'Where that station does not answer, nothing moves.', [], 'Move', (box) => {
        select = el('select');
        select.id = 'move-to';
        for (const st of targets) {
          const o = el('option', '', st.name + (st.online ? '' : ' (offline)'));
          o.value = st.address;
          select.append(o);
        }
        const label = el('label', 'choice', 'To ');
        label.append(select);
        box.append(label);
      });
    body.to = select.value;
    return moved;
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

// What a station's part of an action did, where it sold, refunded or moved.
function doneText(action, x) {
  const name = nameOf(x.station);
  const balance = (member) => member !== null && member !== undefined;
  if (x.sold && x.sold.kind === 'free') return name + ' ' + x.sold.minutes + ' min free';
  if (x.sold) {
    return name + ' ' + x.sold.minutes + ' min' + (x.sold.kind === 'package' ? ' (' + x.sold.tariff + ')' : '') + ' for ' +
      till.withCurrency(x.sold.price) + (balance(x.sold.member) ? ' from the balance' : '');
  }
  if (x.refunded) {
    return name + ' refund ' + till.withCurrency(x.refunded.amount) +
      (balance(x.refunded.member) ? ' to the balance' + (x.pending ? ' once the end is confirmed' : '')
        : x.refunded.paid ? ' paid out' : ' kept');
  }
  if (action === 'move') return name + ' ' + x.done.replace(/; .*$/, '');
  return '';
}

// The console's answer to an action: what was done (sold where and for how
// much), or why not.
function showOutcome(action, body, r) {
  if (!(r.data && r.data.results)) {
    if (r.status !== 401) message(action.replace('_', ' ') + ': ' + refusalText(r), true);
    return;
  }
  const results = r.data.results;
  const failed = results.filter((x) => !x.ok);
  const done = results.filter((x) => x.ok);
  const details = done.map((x) => doneText(action, x)).filter((t) => t);
  const sold = done.filter((x) => x.sold).reduce((sum, x) => sum + x.sold.price, 0);
  // The action's own word for done: a message is "sent" (received, not read).
  const word = (session.actions.get(action) || {}).done || 'done';
  let text = action.replace('_', ' ') + ': ' + word + (word === 'sent' ? ' to ' : ' for ') +
    done.map((x) => nameOf(x.station)).join(', ');
  if (details.length) text += ' — ' + details.join(', ') + (details.length > 1 && sold ? '; ' + till.withCurrency(sold) + ' in all' : '');
  const refused = failed.map((x) => nameOf(x.station) + ': ' + x.error).join('; ');
  const pending = done.filter((x) => x.pending).map((x) => nameOf(x.station));
  if (pending.length) {
    text += '; ' + pending.join(', ') + (['end', 'move'].includes(action)
      ? ': ending, the station has not confirmed yet (the end is sent again whenever it is heard)'
      : ': queued until the station is heard, sold only then');
  }
  message(failed.length ? refused + (done.length ? ' (' + text + ')' : '') : text, failed.length > 0);
  if (action === 'message' && !failed.length) $('customer-text').value = '';
  const queueable = failed.filter((x) => x.can_queue).map((x) => x.station);
  if (['start', 'add'].includes(action) && queueable.length) offerQueue(action, queueable, body);
  // A member is sold to once: the next sale is in cash unless one is chosen.
  if ((action === 'start' || action === 'add') && done.length && body.member !== undefined) members.choose(null);
}

// An answer that came for a request sent before the page reloaded or the
// connection broke: said as any other.
function lateAnswer(entry, r) {
  if (!r) {
    message('A request sent on ' + new Date(entry.at).toLocaleString() + ' got no answer and is too old to ask ' +
      'about: see the log for what was done.', true);
    return;
  }
  if (entry.path === '/api/act') showOutcome(entry.body.action, entry.body, r);
  else if (r.status !== 401) message('An earlier request was answered: ' + (r.status === 200 ? 'done' : refusalText(r)), r.status !== 200);
  till.refresh();
  admin.loadLog();
}

// Keeps the buttons that sent an action from taking another click until the
// console answers: the one toolbar button, or all the card's buttons (and a
// moment longer: a double click's second click would land on the button
// that took the first one's place, Add where Start was).
function hold(button, card) {
  const buttons = card ? Array.from(card.parts.actions.querySelectorAll('button')) : [button];
  for (const b of buttons) setBusy(b, true);
  return (linger) => setTimeout(() => { for (const b of buttons) setBusy(b, false); }, linger);
}

// Carries an action out on the stations; the selection clears once it is
// sent (not when it is refused on the page or the operator says no). Sent
// once: a repeat (a double click, a resend) is never carried out twice.
async function act(action, addresses, extra, from) {
  const card = from && from.parts ? from : null;
  const button = card ? null : from;
  if ((button && button.disabled) || (card && card.parts.start.disabled)) return;
  const release = hold(button, card);
  let linger = 0;
  try {
    const actionRow = session.actions.get(action) || { field: '', confirm: false };
    const body = Object.assign({ action, stations: addresses }, extra || {});
    // A sale: the minutes or the package, and the member it goes to.
    if ((action === 'start' || action === 'add') && body.minutes === undefined && body.package === undefined) {
      const sale = saleFields(false);
      if (sale === null) return;
      Object.assign(body, sale);
    } else if (actionRow.field && body[actionRow.field] === undefined && fieldInputs[actionRow.field]) {
      const value = fieldInputs[actionRow.field]();
      if (value === null) return;
      body[actionRow.field] = value;
    }
    if (!(await confirmAction(action, addresses, extra, body))) return;
    if (actionRow.confirm) body.confirm = true;
    if (action === 'end' && refundChoice !== undefined) body.refund = refundChoice;
    selected.clear();
    updateSelection();
    linger = card ? 600 : 0;
    let r;
    try {
      r = await sendOnce('/api/act', body);
    } catch (e) {
      message(action.replace('_', ' ') + ': no answer from the console; the page asks again when it is back ' +
        '(it is never done twice)', true);
      return;
    }
    showOutcome(action, body, r);
    if (['start', 'add', 'end', 'move', 'free'].includes(action)) { till.refresh(); members.refresh(); }
    admin.loadLog();
  } finally {
    release(linger);
  }
}

// A start refused on stations that are starting (restarted or powered on
// by the console): it may be held for them, sent when each is heard within
// a few minutes and sold only then (the same minutes or package, to the
// same member).
function offerQueue(action, addresses, body) {
  const b = el('button', '', 'Queue the ' + action + ' on ' + addresses.map(nameOf).join(', '));
  b.id = 'queue-start';
  const sale = {};
  for (const k of ['minutes', 'package', 'member']) if (body[k] !== undefined) sale[k] = body[k];
  b.addEventListener('click', () => { b.remove(); act(action, addresses, Object.assign(sale, { queue: true }), b); });
  $('message').append(' ', b);
}

// An owner closes the record of a session whose end the station never
// confirms (a dead PC), saying why; its refund is settled then.
async function closeRecord(address) {
  let reason;
  const ok = await ask('Close the session of ' + nameOf(address) + '?',
    'The station has not confirmed its end. Closed, the session ends on record now and its refund is ' +
    'settled; the end is still sent if the station comes back.', [], 'Close it', (box) => {
      reason = el('input');
      reason.id = 'close-reason';
      reason.placeholder = 'why (e.g. the PC is dead)';
      reason.maxLength = 200;
      box.append(reason);
    });
  if (ok) act('close', [address], { reason: reason.value.trim() || 'no reason given' });
}

// A station still installed without a key: sent plain commands, shown
// unverified (an owner's mark, undone once it has its key).
async function markUnkeyed(address) {
  const unkeyed = !cards.get(address).station.unkeyed;
  if (unkeyed && !(await ask('Send ' + nameOf(address) + ' plain commands?',
    'Only for a station still installed without the club key: anyone on the LAN can then command it ' +
    'and answer for it; the page shows it unverified.', [], 'Mark unkeyed'))) return;
  act('unkeyed', [address], { unkeyed });
}

// What a change of the room answered: what it changed (or why it was
// refused), for the message line.
function roomChangeText(label, r) {
  const result = r && r.data && r.data.results ? r.data.results[0] : null;
  if (r && r.status === 200) return label + ': ' + ((result && result.changed) || 'done');
  return label + ': ' + (result && result.error ? result.error : refusalText(r));
}

// Sent once, like an action (null: no answer came; the page asks again when
// the console is back).
async function postRoomChange(body, button) {
  try {
    return await sendOnce('/api/station', body, button);
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
  const r = await postRoomChange(body, $('station-save'));
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
      await act('kill', [address], { caption }, kill);
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
  b.addEventListener('click', withSelection((addresses) => act(b.dataset.act, addresses, undefined, b)));
}
let quoting = 0;
$('minutes').addEventListener('input', () => {
  clearTimeout(quoting);
  quoting = setTimeout(updateQuote, 250);
  $('package').value = '';
});
$('package').addEventListener('change', updateQuote);
// A preset sets the minutes (which the cards' buttons take too) and starts
// sessions of that length on the selected stations.
for (const b of document.querySelectorAll('#toolbar button[data-preset]')) {
  b.addEventListener('click', () => {
    $('minutes').value = b.dataset.preset;
    $('minutes').removeAttribute('aria-invalid');
    $('package').value = '';
    if (selected.size === 0) { message('Minutes set to ' + b.dataset.preset + '; select stations to start them.', false); return; }
    act('start', Array.from(selected), undefined, b);
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
