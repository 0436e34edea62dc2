// The operators (an owner's to manage) and the action log: who did what,
// when, to which station, and how it ended.
import { $, el, api, refusalText, sendOnce, loadPart, roomStations } from './common.js';

function say(text, error) {
  $('operators-message').className = error ? 'error' : '';
  $('operators-message').textContent = text;
}

async function loadOperators() {
  await loadPart('operators-error', '/api/operators', showOperators);
}

function showOperators(data) {
  const rows = $('operator-rows');
  rows.textContent = '';
  for (const o of data.operators) {
    const tr = el('tr');
    const role = el('select');
    for (const name of ['owner', 'operator']) {
      const option = el('option', '', name);
      option.value = name;
      option.selected = o.role === name;
      role.append(option);
    }
    const password = el('input');
    password.type = 'password';
    password.placeholder = 'new password';
    password.autocomplete = 'new-password';
    const save = el('button', 'plain', 'Save');
    save.addEventListener('click', () => change(Object.assign({ name: o.name, role: role.value },
      password.value ? { password: password.value } : {}), save));
    const remove = el('button', 'plain', 'Remove');
    remove.addEventListener('click', () => {
      if (window.confirm('Remove the operator ' + o.name + '? Their log-ins end.')) change({ name: o.name, remove: true }, remove);
    });
    for (const c of [el('span', '', o.name), role, password, save, remove]) {
      const td = el('td'); td.append(c); tr.append(td);
    }
    rows.append(tr);
  }
}

// A change of the operators, sent once and answered with what it did.
async function change(body, button) {
  let r;
  try {
    r = await sendOnce('/api/operators/change', body, button);
  } catch (e) {
    say('no answer from the console; the page asks again when it is back (it is never done twice)', true);
    return false;
  }
  if (r.status === 200) { say('Done: ' + r.data.done + '.'); loadOperators(); return true; }
  if (r.status !== 401) say(refusalText(r), true);
  return false;
}

// The log, a page at a time, filtered by the console: the days above, an
// operator, a station, a kind of action. `older` goes on from the last page's
// end; otherwise it starts from the newest line.
let logNext = null;
export async function loadLog(older) {
  const from = $('from').value, to = $('to').value || from;
  const q = new URLSearchParams({ from, to, limit: '100' });
  const who = $('log-operator').value.trim();
  if (who) q.set('operator', who);
  if ($('log-station').value) q.set('station', $('log-station').value);
  if ($('log-kind').value) q.set('kind', $('log-kind').value);
  if (older === true && logNext) q.set('before', logNext);
  await loadPart('log-error', '/api/actions?' + q.toString(), (data) => showLog(data, older === true));
}

function showLog(data, more) {
  const rows = $('log-rows');
  if (!more) rows.textContent = '';
  for (const a of data.actions) {
    const tr = el('tr', a.done ? '' : 'refused');
    for (const v of [new Date(a.at).toLocaleString(), a.operator || 'console', a.action, a.station, a.detail, a.outcome]) {
      tr.append(el('td', '', v));
    }
    rows.append(tr);
  }
  logNext = data.next;
  $('log-older').hidden = !logNext;
  // The filters offer the room's stations and the kinds of those days.
  const keep = (select, values, none) => {
    const current = select.value;
    select.textContent = '';
    const all = el('option', '', none);
    all.value = '';
    select.append(all);
    for (const [value, label] of values) {
      const o = el('option', '', label);
      o.value = value;
      select.append(o);
    }
    select.value = values.some(([v]) => v === current) ? current : '';
  };
  keep($('log-station'), roomStations().map((st) => [st.address, st.name]), 'every station');
  const kinds = new Set(data.kinds);
  if ($('log-kind').value) kinds.add($('log-kind').value);
  keep($('log-kind'), Array.from(kinds).sort().map((k) => [k, k]), 'every kind');
}

$('operator-add').addEventListener('submit', async (e) => {
  e.preventDefault();
  if (await change({ name: $('new-operator').value.trim(), password: $('new-password').value, role: $('new-role').value },
    e.submitter)) {
    $('new-operator').value = '';
    $('new-password').value = '';
  }
});
for (const id of ['log-operator', 'log-station', 'log-kind', 'from', 'to']) $(id).addEventListener('change', () => loadLog());
$('log-refresh').addEventListener('click', () => loadLog());
$('log-older').addEventListener('click', () => loadLog(true));

export function start(role) {
  $('operators').hidden = role !== 'owner';
  if (role === 'owner') loadOperators();
  loadLog();
}
