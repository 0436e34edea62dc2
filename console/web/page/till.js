// The till: the shift, the tariffs with their periods, the groups and the
// packages, the refund asked at an early end, the sessions with their sales
// (an owner voids one here), and the shifts with their end-of-day reports,
// printable. Amounts come from the console in minor units and go to it as
// texts ("12.50"), which it checks. Every change is sent once (see sendOnce)
// and answered with what it did.
import { $, el, api, refusalText, loadPart, selected, roomStations, today, sendOnce, session, ask, askText } from './common.js';

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
const noAnswer = 'no answer from the console; the page asks again when it is back (it is never done twice)';

// Whether the club sells by tariff, and the group a station sells in.
export function selling() { return !!till && till.tariffs.length > 0; }
export function groupIdOf(address) { return till && address in till.members ? till.members[address] : null; }
export function packages() { return till ? till.packages : []; }
function time(ms) { return ms === null ? '' : new Date(ms).toLocaleTimeString(); }
function day(ms) { return ms === null ? '' : new Date(ms).toLocaleString(); }

// Called after each load of the till (the room's page shows its prices).
let loaded = () => {};
export function whenLoaded(then) { loaded = then; }

async function load() {
  await loadPart('till-error', '/api/till', (data) => { till = data; render(); loaded(); });
}

// The till's groups ({id, name}), for the room's set-up; none before the
// till has loaded.
export function groups() { return till ? till.groups : []; }

// A change of the till, answered with what it did.
async function change(body, button) {
  let r;
  try { r = await sendOnce('/api/till/change', body, button); } catch (e) { say(noAnswer, true); return false; }
  if (r.status === 200) { till = r.data; render(); say('Done: ' + r.data.done + '.'); return true; }
  if (r.status !== 401) say(refusalText(r), true);
  return false;
}

function renderShift() {
  const s = till.shift;
  // At the top of the page too: a club that sells can't sell without one.
  const badge = $('shift-badge');
  badge.hidden = !s && till.tariffs.length === 0;
  badge.classList.toggle('none', !s);
  badge.textContent = s ? 'Shift open: ' + s.opened_by + ' · taken ' + withCurrency(s.takings) : 'No shift open';
  $('shift-open-form').hidden = !!s;
  $('shift-close-form').hidden = !s;
  $('shift-report-open').hidden = !s;
  $('shift-state').textContent = s
    ? 'Shift open since ' + day(s.opened_at) + ' (' + s.opened_by + '): ' + s.sales_count + ' sales ' +
      withCurrency(s.sales) + ', ' + s.refunds_count + ' refunds ' + withCurrency(s.refunds) +
      (s.voids ? ', voids ' + withCurrency(s.voids) : '') +
      (s.top_ups.count ? ', top-ups ' + withCurrency(s.top_ups.amount) : '') +
      (s.balance_spent.count ? ', from balances ' + withCurrency(s.balance_spent.amount) : '') +
      (s.free_minutes.minutes ? ', ' + s.free_minutes.minutes + ' free minutes' : '') +
      ', expected in the drawer ' + withCurrency(s.expected)
    : 'No shift is open: open one to sell.';
}

// A tariff: its name, its minimum and its prices per hour, one period a
// line ("Mon-Fri 08:00-18:00 2.50"), or one price for the whole week.
function tariffRow(t) {
  const tr = el('tr');
  const name = el('input'); name.value = t ? t.name : ''; name.placeholder = 'name';
  const min = el('input'); min.value = t ? money(t.minimum) : '0.00'; min.inputMode = 'decimal';
  const periods = el('textarea');
  periods.rows = t ? Math.max(1, t.periods.length) : 1;
  periods.value = t ? (t.per_hour !== null ? money(t.per_hour) : t.periods.map((p) => p.text).join('\n')) : '';
  periods.placeholder = '3.00, or Mon-Fri 08:00-18:00 2.50 and more lines';
  const save = el('button', '', t ? 'Save' : 'Add');
  save.addEventListener('click', () => {
    const lines = periods.value.split('\n').map((l) => l.trim()).filter((l) => l);
    const prices = lines.length === 1 && /^[0-9.]+$/.test(lines[0]) ? { per_hour: lines[0] } : { periods: lines };
    change(Object.assign({ change: 'tariff', name: name.value.trim(), minimum: min.value.trim() }, prices,
      t ? { id: t.id } : {}), save);
  });
  const cells = [name, min, periods, save];
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

// A package: its price, its minutes or its window with the last sale time,
// whether its unused minutes are refunded, and the groups it is sold in.
function packageRow(p) {
  const tr = el('tr');
  const name = el('input'); name.value = p ? p.name : ''; name.placeholder = 'name';
  const price = el('input'); price.value = p ? money(p.price) : ''; price.placeholder = '15.00'; price.inputMode = 'decimal';
  const length = el('input');
  length.value = p ? (p.window ? p.window.from + '-' + p.window.to : String(p.minutes)) : '';
  length.placeholder = '180 or 22:00-08:00';
  const last = el('input'); last.value = p && p.window ? p.window.last_sale : ''; last.placeholder = '05:00';
  const refund = el('input'); refund.type = 'checkbox'; refund.checked = p ? p.refundable : true;
  const groups = el('span');
  for (const g of till.groups) {
    const box = el('input'); box.type = 'checkbox'; box.value = String(g.id);
    box.checked = !!p && p.groups.includes(g.id);
    const label = el('label', 'choice');
    label.append(box, ' ' + g.name + ' ');
    groups.append(label);
  }
  const save = el('button', '', p ? 'Save' : 'Add');
  save.addEventListener('click', () => {
    const body = { change: 'package', name: name.value.trim(), price: price.value.trim(), refundable: refund.checked,
      groups: Array.from(groups.querySelectorAll('input:checked'), (b) => Number(b.value)) };
    const l = length.value.trim();
    if (/^[0-9]+$/.test(l)) body.minutes = Number(l); else { body.window = l; body.last_sale = last.value.trim(); }
    if (p) body.id = p.id;
    change(body, save);
  });
  const cells = [name, price, length, last, refund, groups, save];
  if (p) {
    const remove = el('button', 'plain', 'Remove');
    remove.addEventListener('click', () => {
      if (window.confirm('Remove the package ' + p.name + '?')) change({ change: 'delete_package', id: p.id });
    });
    cells.push(remove);
  }
  for (const c of cells) { const td = el('td'); td.append(c); tr.append(td); }
  return tr;
}

// The toolbar's packages: sold instead of the minutes typed.
function renderPackageChoice() {
  const select = $('package');
  const chosen = select.value;
  select.textContent = '';
  const none = el('option', '', 'no package'); none.value = '';
  select.append(none);
  for (const p of till.packages) {
    const o = el('option', '', p.name + ' (' + (p.window ? p.window.text : p.minutes + ' min') + ', ' + money(p.price) + ')');
    o.value = String(p.id);
    o.dataset.name = p.name;
    select.append(o);
  }
  if (Array.from(select.options).some((o) => o.value === chosen)) select.value = chosen;
  $('package-choice').hidden = till.packages.length === 0;
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
    { change: 'group', name: name.value.trim(), tariff: parseInt(tariff.value, 10) }, g ? { id: g.id } : {}), save));
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
  $('time-up-end').checked = till.time_up.end;
  $('time-up-grace').value = String(till.time_up.grace_seconds);
  const tariffs = $('tariff-rows');
  tariffs.textContent = '';
  for (const t of till.tariffs) tariffs.append(tariffRow(t));
  tariffs.append(tariffRow(null));
  const groups = $('group-rows');
  groups.textContent = '';
  for (const g of till.groups) groups.append(groupRow(g));
  if (till.tariffs.length) groups.append(groupRow(null));
  const packageRows = $('package-rows');
  packageRows.textContent = '';
  for (const p of till.packages) packageRows.append(packageRow(p));
  if (till.groups.length) packageRows.append(packageRow(null));
  renderPackageChoice();
  // The group chosen stays chosen: a second Assign puts the stations in
  // the same group again (it sets, never toggles).
  const assign = $('assign-group');
  const chosen = assign.value;
  assign.textContent = '';
  const none = el('option', '', 'no group'); none.value = '';
  assign.append(none);
  for (const g of till.groups) { const o = el('option', '', g.name); o.value = String(g.id); assign.append(o); }
  if (Array.from(assign.options).some((o) => o.value === chosen)) assign.value = chosen;
  if (document.activeElement !== $('free-allowance')) $('free-allowance').value = String(till.free_minutes_per_shift);
  renderStations();
}

// The name of a station's group, for its card.
function groupOf(address) {
  if (!till || !(address in till.members)) return null;
  const g = till.groups.find((x) => x.id === till.members[address]);
  return g ? g.name : null;
}

// What ending these rented stations now offers back: the refund in cash and
// its unused minutes, summed, and what goes back to members' balances.
export async function previewEnd(stations) {
  const r = await api('POST', '/api/end-preview', { stations });
  if (r.status !== 200) return { refund: 0, minutes: 0, balance: 0 };
  const cash = r.data.stations.filter((p) => p.member === null);
  return {
    refund: cash.reduce((sum, p) => sum + p.refund, 0),
    minutes: cash.reduce((sum, p) => sum + p.refund_minutes, 0),
    balance: r.data.stations.filter((p) => p.member !== null).reduce((sum, p) => sum + p.refund, 0),
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
      mac: mac.value.trim() === '' ? null : mac.value.trim() }, save));
    for (const c of [el('span', '', st.name), el('span', '', st.address), el('span', '', groupOf(st.address) || '—'),
      mac, save]) {
      const td = el('td'); td.append(c); tr.append(td);
    }
    rows.append(tr);
  }
}

// A sale as the sessions' list shows it; an owner may void one, giving
// the reason.
function saleCell(s, sale) {
  const parts = sale.parts.length > 1 ? ' (' + sale.parts.map((p) => p.minutes + ' at ' + money(p.per_hour)).join(', ') + ')' : '';
  const span = el('span', 'sale' + (sale.voided !== null ? ' voided' : ''),
    sale.minutes + ' min ' + (sale.kind === 'package' ? sale.tariff + ' ' : '') +
    (sale.kind === 'free' ? 'free (' + sale.reason + ')' : money(sale.price)) + parts + ' ' + sale.by +
    (sale.member !== null ? ', member ' + sale.member : '') +
    (sale.voided !== null ? ' (void: ' + money(sale.voided) + ' back)' : ''));
  if (session.role === 'owner' && sale.kind === 'sale' && sale.voided === null) {
    const b = el('button', 'plain void', 'Void');
    b.addEventListener('click', async () => {
      let reason;
      const sure = await ask('Void this sale?', 'Its amount is taken back from the open shift\'s drawer; the sale stays ' +
        'on record, with the void beside it.', [s.station + ': ' + sale.minutes + ' min, ' + withCurrency(sale.price) + ', sold by ' +
        sale.by + ' at ' + day(sale.at)], 'Void it', (box) => { reason = askText(box, 'Why:', 'void-reason'); });
      if (!sure) return;
      if (await change({ change: 'void', sale: sale.id, reason: reason() }, b)) loadReports();
    });
    span.append(' ', b);
  }
  return span;
}

// The shift's end-of-day report, shown above the panels; Print prints it
// alone (the page's print style sheet).
const lines = (list) => list.map((l) => l.name + ': ' + l.count + ' × ' + l.minutes + ' min, ' + withCurrency(l.amount));
export function showReport(s) {
  const box = $('report-body');
  box.textContent = '';
  const row = (label, value) => {
    const tr = el('tr');
    tr.append(el('th', '', label), el('td', '', value));
    box.append(tr);
  };
  $('report-title').textContent = 'Shift ' + s.id + ': ' + day(s.opened_at) + ' (' + s.opened_by + ') to ' +
    (s.closed_at === null ? 'now, open' : day(s.closed_at) + ' (' + s.closed_by + ')');
  row('Opening cash', withCurrency(s.opening) + (s.last_counted === null ? '' : ', the last count ' + withCurrency(s.last_counted) +
    (s.opening_difference ? ': ' + withCurrency(s.opening_difference) + ' different' : ': the same')));
  row('Sales in cash', s.sales_count + ', ' + withCurrency(s.sales));
  row('Sales from balances', s.balance_spent.count + ', ' + withCurrency(s.balance_spent.amount));
  row('By tariff', lines(s.by_tariff).join('; ') || '—');
  row('By package', lines(s.by_package).join('; ') || '—');
  row('By operator', lines(s.by_operator).join('; ') || '—');
  row('Refunds paid out', s.refunds_count + ', ' + withCurrency(s.refunds));
  row('Refunds kept', s.refunds_kept.count + ', ' + withCurrency(s.refunds_kept.amount));
  row('Voids', s.voids_list.length + ', ' + withCurrency(s.voids));
  for (const v of s.voids_list) {
    row('', 'sale of ' + v.sale.minutes + ' min on ' + v.station + ' (' + day(v.sale.at) + ', ' + v.sale.by + ')' +
      (v.sale.shift !== s.id ? ', a correction to shift ' + v.sale.shift : '') + ': ' + withCurrency(v.amount) +
      ' back by ' + v.by + ', ' + v.reason);
  }
  row('Free minutes', s.free_minutes.minutes + ' min in ' + s.free_minutes.count + ' grants' +
    (s.free_by_operator.length ? ' (' + s.free_by_operator.map((l) => l.name + ' ' + l.minutes).join(', ') + ')' : ''));
  row('Refunds and voids to balances', s.balance_refunded.count + ', ' + withCurrency(s.balance_refunded.amount));
  row('Top-ups', s.top_ups.count + ', ' + withCurrency(s.top_ups.amount));
  row('Pay-outs', s.payouts.count + ', ' + withCurrency(s.payouts.amount));
  row('Cash expected', withCurrency(s.expected) + ' (opening + cash sales + top-ups − refunds paid − voids − pay-outs)');
  row('Cash counted', s.counted === null ? 'not yet' : withCurrency(s.counted));
  row('Difference', s.difference === null ? '—' : withCurrency(s.difference) + (s.difference < 0 ? ' missing' : ''));
  $('report').hidden = false;
  $('report').scrollIntoView({ block: 'nearest' });
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
    const refund = s.refund ? money(s.refund.amount) + (s.refund.member !== null ? ' to the balance'
      : s.refund.paid ? ' paid' : ' kept') + ' (' + s.refund.by + ')' : '';
    const station = s.station + (s.moves.length ? ' (moved from ' + s.moves.map((m) => m.from_station).join(', ') + ')' : '') +
      (s.member !== null ? ', member ' + s.member : '');
    for (const v of [station, time(s.started_at), time(s.ended_at), s.minutes, s.used_minutes === null ? '' : s.used_minutes,
      s.price === null ? '' : money(s.price), refund]) {
      tr.append(el('td', '', String(v)));
    }
    const sales = el('td');
    for (const sale of s.sales) sales.append(saleCell(s, sale), el('br'));
    if (!s.sales.length) sales.textContent = s.started_by;
    tr.append(sales, el('td', '', s.ended_by || ''));
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
      money(s.voids), money(s.expected), money(s.counted), money(s.difference)]) {
      tr.append(el('td', '', String(v)));
    }
    const report = el('button', 'plain', 'Report');
    report.addEventListener('click', () => showReport(s));
    const td = el('td');
    td.append(report);
    tr.append(td);
    rows.append(tr);
  }
}

// Opening and closing a shift, each sent once; the opening says how the
// cash compares with the last count.
async function shift(body, button) {
  try { return await sendOnce('/api/shift', body, button); } catch (e) { say(noAnswer, true); return { status: 0 }; }
}
$('shift-open-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const r = await shift({ shift: 'open', cash: $('shift-cash').value.trim() }, e.submitter);
  if (r.status === 200) {
    till = r.data;
    render();
    $('shift-cash').value = '';
    say('Shift opened: ' + r.data.done + '.', /difference/.test(r.data.done));
    loadReports();
  } else if (r.status && r.status !== 401) say(refusalText(r), true);
});
$('shift-close-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const counted = $('shift-counted').value.trim();
  const r = await shift({ shift: 'close', counted }, e.submitter);
  if (r.status === 200) {
    const s = r.data.shift;
    say('Shift closed: expected ' + withCurrency(s.expected) + ', counted ' + withCurrency(s.counted) +
      ', difference ' + withCurrency(s.difference) + '.', s.difference !== 0);
    $('shift-counted').value = '';
    await load();
    loadReports();
    showReport(s);
  } else if (r.status && r.status !== 401) say(refusalText(r), true);
});
$('currency-save').addEventListener('click', (e) => change({ change: 'currency', currency: $('currency').value.trim() }, e.currentTarget));
$('assign').addEventListener('click', (e) => {
  const stations = Array.from(selected);
  if (!stations.length) { say('Select the stations to put in the group first.', true); return; }
  const v = $('assign-group').value;
  change({ change: 'assign', stations, group: v === '' ? null : parseInt(v, 10) }, e.currentTarget);
});
$('macs-fill').addEventListener('click', (e) => change({ change: 'macs_from_neighbours' }, e.currentTarget));
$('free-allowance-save').addEventListener('click', (e) => {
  const minutes = $('free-allowance').value.trim();
  if (!/^[0-9]+$/.test(minutes)) { say('The free minutes are a whole number, 0 for none.', true); return; }
  change({ change: 'free_minutes', minutes: Number(minutes) }, e.currentTarget);
});
$('shift-report-open').addEventListener('click', () => { if (till && till.shift) showReport(till.shift); });
$('report-print').addEventListener('click', () => window.print());
$('report-close').addEventListener('click', () => { $('report').hidden = true; });
$('time-up-save').addEventListener('click', (e) => change({
  change: 'time_up', end: $('time-up-end').checked, grace_seconds: parseInt($('time-up-grace').value, 10) || 0,
}, e.currentTarget));
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
