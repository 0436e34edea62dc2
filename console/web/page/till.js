// The till: the shift, the tariffs and groups, the refund asked at an early
// end, and the reports of sessions and shifts. Amounts come from the console
// in minor units and go to it as texts ("12.50"), which it checks.
import { $, el, api, refusalText, loadPart, selected, roomStations, today } from './common.js';

let till = null;

function money(minor) {
  if (minor === null || minor === undefined) return '';
  const sign = minor < 0 ? '-' : '';
  const m = Math.abs(minor);
  return sign + Math.floor(m / 100) + '.' + String(m % 100).padStart(2, '0');
}
export function withCurrency(minor) {
  return money(minor) + (till && till.currency ? ' ' + till.currency : '');
}
function say(text, error) {
  $('till-message').className = error ? 'error' : '';
  $('till-message').textContent = text;
}
function time(ms) { return ms === null ? '' : new Date(ms).toLocaleTimeString(); }
function day(ms) { return ms === null ? '' : new Date(ms).toLocaleString(); }

async function load() {
  await loadPart('till-error', '/api/till', (data) => { till = data; render(); });
}

// The till's groups ({id, name}) and a station's group id, for the room's
// set-up; none before the till has loaded.
export function groups() { return till ? till.groups : []; }
export function groupIdOf(address) {
  return till && address in till.members ? till.members[address] : null;
}

async function change(body) {
  const r = await api('POST', '/api/till/change', body);
  if (r.status === 200) { till = r.data; render(); say('Saved.'); return true; }
  if (r.status !== 401) say(refusalText(r), true);
  return false;
}

function renderShift() {
  const s = till.shift;
  // At the top of the page too: a club that sells can't sell without one.
  const badge = $('shift-badge');
  badge.hidden = !s && till.tariffs.length === 0;
  badge.classList.toggle('none', !s);
  badge.textContent = s ? 'Shift open: ' + s.opened_by : 'No shift open';
  $('shift-open-form').hidden = !!s;
  $('shift-close-form').hidden = !s;
  $('shift-state').textContent = s
    ? 'Shift open since ' + day(s.opened_at) + ' (' + s.opened_by + '): ' + s.sales_count + ' sales ' +
      withCurrency(s.sales) + ', ' + s.refunds_count + ' refunds ' + withCurrency(s.refunds) +
      ', expected in the drawer ' + withCurrency(s.expected)
    : 'No shift is open: open one to sell.';
}

function tariffRow(t) {
  const tr = el('tr');
  const name = el('input'); name.value = t ? t.name : ''; name.placeholder = 'name';
  const hour = el('input'); hour.value = t ? money(t.per_hour) : ''; hour.placeholder = '3.00';
  const min = el('input'); min.value = t ? money(t.minimum) : '0.00';
  for (const i of [hour, min]) i.inputMode = 'decimal';
  const save = el('button', '', t ? 'Save' : 'Add');
  save.addEventListener('click', () => change(Object.assign(
    { change: 'tariff', name: name.value.trim(), per_hour: hour.value.trim(), minimum: min.value.trim() },
    t ? { id: t.id } : {})));
  const cells = [name, hour, min, save];
  if (t) {
    const remove = el('button', 'plain', 'Remove');
    remove.addEventListener('click', () => {
      if (window.confirm('Remove the tariff ' + t.name + '?')) change({ change: 'delete_tariff', id: t.id });
    });
    cells.push(remove);
  }
  for (const c of cells) { const td = el('td'); td.append(c); tr.append(td); }
  return tr;
}

function tariffSelect(selectedId) {
  const select = el('select');
  for (const t of till.tariffs) {
    const o = el('option', '', t.name);
    o.value = String(t.id);
    o.selected = t.id === selectedId;
    select.append(o);
  }
  return select;
}

function groupRow(g) {
  const tr = el('tr');
  const name = el('input'); name.value = g ? g.name : ''; name.placeholder = 'name';
  const tariff = tariffSelect(g ? g.tariff : null);
  const members = Object.values(till.members).filter((id) => g && id === g.id).length;
  const save = el('button', '', g ? 'Save' : 'Add');
  save.addEventListener('click', () => change(Object.assign(
    { change: 'group', name: name.value.trim(), tariff: parseInt(tariff.value, 10) }, g ? { id: g.id } : {})));
  const cells = [name, tariff, el('span', '', g ? members + ' stations' : ''), save];
  if (g) {
    const remove = el('button', 'plain', 'Remove');
    remove.addEventListener('click', () => {
      if (window.confirm('Remove the group ' + g.name + '?')) change({ change: 'delete_group', id: g.id });
    });
    cells.push(remove);
  }
  for (const c of cells) { const td = el('td'); td.append(c); tr.append(td); }
  return tr;
}

function render() {
  renderShift();
  $('currency').value = till.currency;
  const tariffs = $('tariff-rows');
  tariffs.textContent = '';
  for (const t of till.tariffs) tariffs.append(tariffRow(t));
  tariffs.append(tariffRow(null));
  const groups = $('group-rows');
  groups.textContent = '';
  for (const g of till.groups) groups.append(groupRow(g));
  if (till.tariffs.length) groups.append(groupRow(null));
  const assign = $('assign-group');
  assign.textContent = '';
  const none = el('option', '', 'no group'); none.value = '';
  assign.append(none);
  for (const g of till.groups) { const o = el('option', '', g.name); o.value = String(g.id); assign.append(o); }
  renderStations();
}

// The name of a station's group, for its card.
function groupOf(address) {
  if (!till || !(address in till.members)) return null;
  const g = till.groups.find((x) => x.id === till.members[address]);
  return g ? g.name : null;
}

// What ending these rented stations now offers back: the refund and its
// unused minutes, summed.
export async function previewEnd(stations) {
  const r = await api('POST', '/api/end-preview', { stations });
  if (r.status !== 200) return { refund: 0, minutes: 0 };
  return {
    refund: r.data.stations.reduce((sum, p) => sum + p.refund, 0),
    minutes: r.data.stations.reduce((sum, p) => sum + p.refund_minutes, 0),
  };
}

// Each station's group and MAC address (for power-on).
function renderStations() {
  const rows = $('station-rows');
  rows.textContent = '';
  for (const st of roomStations()) {
    const tr = el('tr');
    const mac = el('input');
    mac.value = till.macs[st.address] || '';
    mac.placeholder = '00:1a:2b:3c:4d:5e';
    mac.size = 17;
    const save = el('button', 'plain', 'Save');
    save.addEventListener('click', () => change({ change: 'mac', station: st.address,
      mac: mac.value.trim() === '' ? null : mac.value.trim() }));
    for (const c of [el('span', '', st.name), el('span', '', st.address), el('span', '', groupOf(st.address) || '—'),
      mac, save]) {
      const td = el('td'); td.append(c); tr.append(td);
    }
    rows.append(tr);
  }
}

async function loadReports() {
  const from = $('from').value, to = $('to').value || from;
  const q = '?from=' + encodeURIComponent(from) + '&to=' + encodeURIComponent(to);
  $('csv').href = '/api/sessions.csv' + q;
  $('shifts-csv').href = '/api/shifts.csv' + q;
  await Promise.all([loadPart('sessions-error', '/api/sessions' + q, showSessions),
                     loadPart('shifts-error', '/api/shifts' + q, showShifts)]);
}

function showSessions(data) {
  const rows = $('session-rows');
  rows.textContent = '';
  for (const s of data.sessions) {
    const tr = el('tr');
    const refund = s.refund ? money(s.refund.amount) + (s.refund.paid ? ' paid' : ' kept') + ' (' + s.refund.by + ')' : '';
    for (const v of [s.station, time(s.started_at), time(s.ended_at), s.minutes, s.used_minutes === null ? '' : s.used_minutes,
      s.price === null ? '' : money(s.price), refund, s.sales.map((x) => x.by).join(', ') || s.started_by, s.ended_by || '']) {
      tr.append(el('td', '', String(v)));
    }
    rows.append(tr);
  }
}

function showShifts(data) {
  const rows = $('shift-rows');
  rows.textContent = '';
  for (const s of data.shifts) {
    const tr = el('tr');
    for (const v of [day(s.opened_at) + ' (' + s.opened_by + ')', s.closed_at === null ? 'open' : day(s.closed_at) + ' (' + s.closed_by + ')',
      money(s.opening), money(s.sales) + ' / ' + s.sales_count, money(s.refunds) + ' / ' + s.refunds_count,
      money(s.expected), money(s.counted), money(s.difference)]) {
      tr.append(el('td', '', String(v)));
    }
    rows.append(tr);
  }
}

$('shift-open-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const r = await api('POST', '/api/shift', { shift: 'open', cash: $('shift-cash').value.trim() });
  if (r.status === 200) { till = r.data; render(); $('shift-cash').value = ''; say('Shift opened.'); loadReports(); }
  else if (r.status !== 401) say(refusalText(r), true);
});
$('shift-close-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const counted = $('shift-counted').value.trim();
  const r = await api('POST', '/api/shift', { shift: 'close', counted });
  if (r.status === 200) {
    const s = r.data.shift;
    say('Shift closed: expected ' + withCurrency(s.expected) + ', counted ' + withCurrency(s.counted) +
      ', difference ' + withCurrency(s.difference) + '.', s.difference !== 0);
    $('shift-counted').value = '';
    await load();
    loadReports();
  } else if (r.status !== 401) say(refusalText(r), true);
});
$('currency-save').addEventListener('click', () => change({ change: 'currency', currency: $('currency').value.trim() }));
$('assign').addEventListener('click', () => {
  const stations = Array.from(selected);
  if (!stations.length) { say('Select the stations to put in the group first.', true); return; }
  const v = $('assign-group').value;
  change({ change: 'assign', stations, group: v === '' ? null : parseInt(v, 10) });
});
$('macs-fill').addEventListener('click', () => change({ change: 'macs_from_neighbours' }));
$('till-setup').addEventListener('toggle', () => { if (till) renderStations(); });
for (const id of ['from', 'to']) $(id).addEventListener('change', loadReports);
setInterval(() => { if (!$('main').hidden) { load(); loadReports(); } }, 30000);

export function start() {
  const day = today();
  if (!$('from').value) $('from').value = day;
  if (!$('to').value) $('to').value = day;
  load();
  loadReports();
}

export function refresh() { load(); loadReports(); }
