// What the page's modules share: the console's API, the room's state as the
// room module keeps it, what the console said at the log-in (its actions and
// their fields, the longest session) and small helpers.

export const $ = (id) => document.getElementById(id);

export function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

// The room's stations by address, in the room's order, and the addresses
// selected on the page.
export const stations = new Map();
export const selected = new Set();

export function nameOf(address) {
  const st = stations.get(address);
  return st ? st.name : address;
}

export function roomStations() {
  return Array.from(stations.values()).filter((st) => !st.unknown);
}

// The log-in's answer: the operator, the CSRF token, the role, the actions'
// table ({name, role, field, fields, confirm} by name) and the longest
// session.
export const session = { operator: '', csrf: '', role: '', actions: new Map(), maxMinutes: 0 };

export function setSession(me) {
  session.operator = me.operator;
  session.csrf = me.csrf;
  session.role = me.role;
  session.actions = new Map((me.actions || []).map((a) => [a.name, a]));
  session.maxMinutes = me.max_minutes;
}

// Minutes as typed: digits only (leading zeros allowed; no sign, blank,
// point or exponent), from 1 to the longest session; null otherwise.
export function parseMinutes(text, max) {
  if (!/^[0-9]+$/.test(text)) return null;
  const value = Number(text);
  return value >= 1 && value <= max ? value : null;
}

// Called when the console answers that the log-in is gone.
let onLoggedOut = () => {};
export function whenLoggedOut(handler) { onLoggedOut = handler; }

// A request to the console; one that gets no answer within 20 s (unless the
// caller gives its own signal) fails as a lost connection does.
export async function api(method, path, body, signal) {
  let timer = null;
  if (!signal) {
    const abort = new AbortController();
    timer = setTimeout(() => abort.abort(), 20000);
    signal = abort.signal;
  }
  const options = { method, headers: {}, credentials: 'same-origin', signal };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.headers['X-Zalvo-Csrf'] = session.csrf;
    options.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch(path, options);
  } finally {
    if (timer) clearTimeout(timer);
  }
  let data = null;
  try { data = await res.json(); } catch (e) { data = null; }
  if (res.status === 401 && path !== '/api/login') onLoggedOut();
  return { status: res.status, data };
}

// Requests that change something are sent once per click: each carries an
// id, kept in the tab (sessionStorage) until the console answers, so that a
// resend after a lost answer, or after a reload, gets the first outcome
// instead of doing it again. The button that sent one is busy meanwhile and
// takes no second click.
const PENDING = 'zalvo.pending';
// Requests that hold a password are kept in the page only (a reload forgets
// them): a password is never written to the tab's storage.
const unstored = {};

function pending() {
  let stored = {};
  try { stored = JSON.parse(sessionStorage.getItem(PENDING) || '{}'); } catch (e) { stored = {}; }
  return Object.assign(stored, unstored);
}
function keep(id, entry) {
  if (entry.body.password !== undefined) { unstored[id] = entry; return; }
  let stored = {};
  try { stored = JSON.parse(sessionStorage.getItem(PENDING) || '{}'); } catch (e) { stored = {}; }
  stored[id] = entry;
  try { sessionStorage.setItem(PENDING, JSON.stringify(stored)); } catch (e) { /* private mode */ }
}
function forget(id) {
  delete unstored[id];
  try {
    const stored = JSON.parse(sessionStorage.getItem(PENDING) || '{}');
    delete stored[id];
    sessionStorage.setItem(PENDING, JSON.stringify(stored));
  } catch (e) { /* private mode */ }
}

function newRequestId() {
  const bytes = new Uint8Array(12);
  crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

export function setBusy(button, busy) {
  if (!button) return;
  button.disabled = busy;
  button.classList.toggle('busy', busy);
  if (busy) button.setAttribute('aria-busy', 'true'); else button.removeAttribute('aria-busy');
}

async function deliver(id, entry) {
  const r = await api('POST', entry.path, Object.assign({}, entry.body, { request: id }));
  forget(id);
  return r;
}

// Sends the request once; resolves with the answer, or throws when none
// came (the id stays kept, and is sent again with resendPending). The same
// request sent again while one is kept unanswered goes with that one's id.
const sameRequest = (a, b) => a.path === b.path && a.operator === b.operator &&
  JSON.stringify(a.body) === JSON.stringify(b.body);
export async function sendOnce(path, body, button) {
  const entry = { path, body, operator: session.operator, at: Date.now() };
  const all = pending();
  let id = Object.keys(all).find((key) => sameRequest(all[key], entry));
  if (!id) {
    id = newRequestId();
    keep(id, entry);
  }
  setBusy(button, true);
  try {
    return await deliver(id, all[id] || entry);
  } finally {
    setBusy(button, false);
  }
}

// The requests this tab sent that were not answered (the page reloaded, or
// the connection broke): sent again with their ids, each answer given to
// `answered(entry, r)`. Another operator's are dropped, and so are those
// older than the console keeps an id (a resend would be a new request then):
// `answered(entry, null)` says so.
const RESEND_WITHIN = 12 * 3600 * 1000;
let resending = false;
export async function resendPending(answered) {
  if (resending) return;
  resending = true;
  try {
    for (const [id, entry] of Object.entries(pending())) {
      if (entry.operator !== session.operator || !(Date.now() - entry.at < RESEND_WITHIN)) {
        forget(id);
        if (entry.operator === session.operator) answered(entry, null);
        continue;
      }
      let r;
      try { r = await deliver(id, entry); } catch (e) { return; }
      answered(entry, r);
    }
  } finally {
    resending = false;
  }
}

// What a refused request says: the console's text, or its status; null for
// no answer at all.
export function refusalText(r) {
  if (!r) return 'no answer from the console';
  return (r.data && r.data.error) || ('failed (' + r.status + ')');
}

// Asks the operator in the page's own dialog; resolves true for the
// confirming button. `extra(box)` may fill the dialog's extra part (and
// disable the confirming button until it is filled in).
export function ask(title, text, items, okLabel, extra) {
  const d = $('confirm-dialog');
  $('confirm-title').textContent = title;
  $('confirm-text').textContent = text;
  const list = $('confirm-list');
  list.textContent = '';
  for (const item of items) list.append(el('li', '', item));
  const box = $('end-refund');
  box.textContent = '';
  box.hidden = true;
  $('confirm-ok').disabled = false;
  if (extra) extra(box);
  box.hidden = !box.hasChildNodes();
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

// A text the operator must give in the dialog (a reason): the confirming
// button waits for it; returns a function that reads it.
export function askText(box, label, id) {
  const input = el('input');
  input.id = id;
  input.maxLength = 200;
  const wrap = el('label', 'choice', label + ' ');
  wrap.append(input);
  box.append(wrap);
  $('confirm-ok').disabled = true;
  input.addEventListener('input', () => { $('confirm-ok').disabled = input.value.trim() === ''; });
  setTimeout(() => input.focus(), 0);
  return () => input.value.trim();
}

// A part of the page that did not load says so in its own place (an element
// with the class load-error), with a button to try again; a good load clears
// it. `r` is the answer (null: none came).
export function partFailed(id, r, retry) {
  const box = $(id);
  box.textContent = '';
  const b = el('button', 'plain', 'Retry');
  b.addEventListener('click', retry);
  box.append(el('span', '', 'Not loaded: ' + refusalText(r) + ' '), b);
  box.hidden = false;
}

// Loads a part of the page: `show` takes the answer's data; a failure is
// shown with a retry (a 401 shows the log-in instead). True once shown.
export async function loadPart(id, path, show) {
  let r = null;
  try { r = await api('GET', path); } catch (e) { r = null; }
  if (r && r.status === 200 && r.data) {
    $(id).hidden = true;
    $(id).textContent = '';
    show(r.data);
    return true;
  }
  if (!r || r.status !== 401) partFailed(id, r, () => loadPart(id, path, show));
  return false;
}

export function today() {
  const d = new Date();
  const p = (n) => String(n).padStart(2, '0');
  return d.getFullYear() + '-' + p(d.getMonth() + 1) + '-' + p(d.getDate());
}
