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
// table ({name, role, field, confirm} by name) and the longest session.
export const session = { csrf: '', role: '', actions: new Map(), maxMinutes: 0 };

export function setSession(me) {
  session.csrf = me.csrf;
  session.role = me.role;
  session.actions = new Map((me.actions || []).map((a) => [a.name, a]));
  session.maxMinutes = me.max_minutes;
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

// What a refused request says: the console's text, or its status; null for
// no answer at all.
export function refusalText(r) {
  if (!r) return 'no answer from the console';
  return (r.data && r.data.error) || ('failed (' + r.status + ')');
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
