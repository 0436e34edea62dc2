// The members: found by name, card or phone while selling (the toolbar's
// sale then goes to that member's balance), their panel (added and changed;
// topped up at the counter; an owner pays a balance out, removes a member or
// anonymises one) and each one's statement, on the page and in CSV. Every
// change goes through the till's changes, sent once (see sendOnce).
import { $, el, api, refusalText, loadPart, sendOnce, session, ask, askText } from './common.js';
import { withCurrency, selling } from './till.js';

const noAnswer = 'no answer from the console; the page asks again when it is back (it is never done twice)';
function say(text, error) {
  $('members-message').className = error ? 'error' : '';
  $('members-message').textContent = text;
}

// The member the toolbar sells to (null: in cash), and who wants to know.
let chosen = null;
let onChosen = () => {};
export function whenChosen(then) { onChosen = then; }
export function chosenMember() { return chosen; }

function balanceText(m) {
  return m.label + ' · ' + withCurrency(m.balance) + (m.discount ? ' · −' + m.discount + ' %' : '');
}

export function choose(member) {
  chosen = member;
  $('member-chosen').hidden = !member;
  $('member-find').parentElement.hidden = !!member;
  $('member-chosen-name').textContent = member ? 'to ' + balanceText(member) : '';
  $('member-found').hidden = true;
  onChosen();
}

const membersPath = (text) => '/api/members?find=' + encodeURIComponent(text);
// The members the finder's text finds; null when the console did not say.
async function find(text) {
  let r = null;
  try { r = await api('GET', membersPath(text)); } catch (e) { r = null; }
  return r && r.status === 200 ? r.data.members : null;
}

// The toolbar's finder: the members whose name, card or phone holds what is
// typed, to choose one.
let finding = 0;
async function showFound() {
  const text = $('member-find').value.trim();
  const list = $('member-found');
  list.textContent = '';
  if (!text) { list.hidden = true; return; }
  const members = await find(text);
  if (text !== $('member-find').value.trim()) return;  // typed on meanwhile
  list.textContent = '';
  if (members === null) {
    list.append(el('li', 'error', 'The members could not be found: no answer from the console.'));
    list.hidden = false;
    return;
  }
  for (const m of members.slice(0, 8)) {
    const b = el('button', 'plain', balanceText(m));
    b.type = 'button';
    b.addEventListener('click', () => { $('member-find').value = ''; choose(m); });
    const li = el('li');
    li.append(b);
    list.append(li);
  }
  if (!members.length) list.append(el('li', '', 'No member found.'));
  list.hidden = false;
}
$('member-find').addEventListener('input', () => { clearTimeout(finding); finding = setTimeout(showFound, 250); });
$('member-clear').addEventListener('click', () => choose(null));

// A change of a member, answered with what was done.
async function change(body, button) {
  let r;
  try { r = await sendOnce('/api/till/change', body, button); } catch (e) { say(noAnswer, true); return false; }
  if (r.status === 200) { say('Done: ' + r.data.done + '.'); await refresh(); return true; }
  if (r.status !== 401) say(refusalText(r), true);
  return false;
}

// An amount asked in the page's dialog; null when the operator says no.
async function askAmount(title, text, ok) {
  let amount;
  const sure = await ask(title, text, [], ok, (box) => { amount = askText(box, 'Amount:', 'member-amount'); });
  return sure ? amount() : null;
}

let editing = null;  // the member the form changes (null: a new one)
function edit(m) {
  editing = m;
  $('member-name').value = m ? m.name : '';
  $('member-card').value = m ? m.card : '';
  $('member-phone').value = m ? m.phone : '';
  $('member-note').value = m ? m.note : '';
  $('member-discount').value = m ? String(m.discount) : '0';
  $('member-save').textContent = m ? 'Save ' + m.label : 'Add member';
  $('member-new').hidden = !m;
}

function memberRow(m) {
  const tr = el('tr');
  for (const v of [m.name, m.card, m.phone, withCurrency(m.balance), m.discount + ' %', m.note]) tr.append(el('td', '', v));
  const td = el('td');
  const button = (label, cls, onClick) => {
    const b = el('button', cls, label);
    b.type = 'button';
    b.addEventListener('click', () => onClick(b));
    td.append(b);
  };
  button('Sell to', '', () => choose(m));
  button('Top up', 'plain', async (b) => {
    const amount = await askAmount('Top up ' + m.label + '?', 'The amount is taken in cash into the drawer and added to the ' +
      'balance (' + withCurrency(m.balance) + ' now).', 'Top up');
    if (amount !== null) change({ change: 'top_up', member: m.id, amount }, b);
  });
  button('Statement', 'plain', () => showStatement(m.id));
  button('Edit', 'plain', () => edit(m));
  if (session.role === 'owner') {
    button('Pay out', 'plain', async (b) => {
      const amount = await askAmount('Pay out of ' + m.label + '\'s balance?', 'The amount is paid in cash from the drawer ' +
        'and taken off the balance (' + withCurrency(m.balance) + ').', 'Pay out');
      if (amount !== null) change({ change: 'payout', member: m.id, amount }, b);
    });
    button('Remove', 'plain', async (b) => {
      if (await ask('Remove ' + m.label + '?', 'A member with a balance or a session can\'t be removed; the money rows stay.',
        [], 'Remove')) change({ change: 'remove_member', member: m.id }, b);
    });
    button('Anonymise', 'danger', async (b) => {
      if (await ask('Anonymise ' + m.label + '?', 'The name, card, phone and note are erased for good; the money rows ' +
        'stay, under the member\'s number.', [], 'Anonymise')) change({ change: 'anonymise_member', member: m.id }, b);
    });
  }
  tr.append(td);
  return tr;
}

async function loadMembers() {
  await loadPart('members-error', membersPath($('members-find').value.trim()), (data) => showMembers(data.members));
}

function showMembers(members) {
  const rows = $('member-rows');
  rows.textContent = '';
  for (const m of members) rows.append(memberRow(m));
  // The toolbar's member, with the balance as it is now.
  if (chosen) {
    const now = members.find((m) => m.id === chosen.id);
    if (now) choose(now);
  }
}

let shown = null;  // the member whose statement is open
export async function showStatement(id) {
  const r = await api('GET', '/api/members/statement?member=' + id);
  if (r.status !== 200) { say(refusalText(r), true); return; }
  shown = id;
  const { member, moves } = r.data;
  $('statement-title').textContent = 'Statement of ' + member.label + ': balance ' + withCurrency(member.balance);
  $('statement-csv').href = '/api/members/statement.csv?member=' + id;
  const kinds = { top_up: 'top-up', sale: 'sale', refund: 'refund', void: 'void', payout: 'pay-out' };
  const rows = $('statement-rows');
  rows.textContent = '';
  for (const m of moves) {
    const tr = el('tr');
    for (const v of [new Date(m.at).toLocaleString(), kinds[m.kind] || m.kind, withCurrency(m.amount), withCurrency(m.balance),
      m.station, m.minutes ? String(m.minutes) : '', m.sold, m.by]) {
      tr.append(el('td', '', v));
    }
    rows.append(tr);
  }
  $('statement').hidden = false;
}

$('member-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const body = { change: 'member', name: $('member-name').value.trim(), card: $('member-card').value.trim(),
    phone: $('member-phone').value.trim(), note: $('member-note').value.trim() };
  if (editing) body.id = editing.id;
  if (session.role === 'owner') {
    const discount = $('member-discount').value.trim() || '0';
    if (!/^[0-9]+$/.test(discount)) { say('A discount is a whole percent, 0 for none.', true); return; }
    body.discount = Number(discount);
  }
  if (await change(body, e.submitter)) edit(null);
});
$('member-new').addEventListener('click', () => edit(null));
$('statement-close').addEventListener('click', () => { $('statement').hidden = true; shown = null; });
let listing = 0;
$('members-find').addEventListener('input', () => { clearTimeout(listing); listing = setTimeout(loadMembers, 250); });

// After a sale, an end or a change: the balances as they are now.
export async function refresh() {
  $('sale-member').hidden = !selling();
  await loadMembers();
  if (shown !== null) showStatement(shown);
}

export function start() {
  edit(null);
  refresh();
}
