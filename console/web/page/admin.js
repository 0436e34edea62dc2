// The operators (an owner's to manage) and the action log: who did what,
// when, to which station, and how it ended.
import { $, el, api, refusalText, sendOnce } from './common.js';

function say(text, error) {
  $('operators-message').className = error ? 'error' : '';
  $('operators-message').textContent = text;
}

async function loadOperators() {
  const r = await api('GET', '/api/operators');
  const rows = $('operator-rows');
  rows.textContent = '';
  if (r.status !== 200) return;
  for (const o of r.data.operators) {
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

export async function loadLog() {
  const from = $('from').value, to = $('to').value || from;
  const who = $('log-operator').value.trim();
  const r = await api('GET', '/api/actions?from=' + encodeURIComponent(from) + '&to=' + encodeURIComponent(to) +
    (who ? '&operator=' + encodeURIComponent(who) : ''));
  const rows = $('log-rows');
  rows.textContent = '';
  if (r.status !== 200) return;
  for (const a of r.data.actions) {
    const tr = el('tr', a.outcome === 'done' ? '' : 'refused');
    for (const v of [new Date(a.at).toLocaleString(), a.operator || 'console', a.action, a.station, a.detail, a.outcome]) {
      tr.append(el('td', '', v));
    }
    rows.append(tr);
  }
}

$('operator-add').addEventListener('submit', async (e) => {
  e.preventDefault();
  if (await change({ name: $('new-operator').value.trim(), password: $('new-password').value, role: $('new-role').value },
    e.submitter)) {
    $('new-operator').value = '';
    $('new-password').value = '';
  }
});
$('log-operator').addEventListener('change', loadLog);
$('log-refresh').addEventListener('click', loadLog);
for (const id of ['from', 'to']) $(id).addEventListener('change', loadLog);

export function start(role) {
  $('operators').hidden = role !== 'owner';
  if (role === 'owner') loadOperators();
  loadLog();
}
