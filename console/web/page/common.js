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

export async function api(method, path, body, signal) {
  const options = { method, headers: {}, credentials: 'same-origin', signal };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.headers['X-Zalvo-Csrf'] = session.csrf;
    options.body = JSON.stringify(body);
  }
  const res = await fetch(path, options);
  let data = null;
  try { data = await res.json(); } catch (e) { data = null; }
  if (res.status === 401 && path !== '/api/login') onLoggedOut();
  return { status: res.status, data };
}

// What a refused request says: the console's text, or its status.
export function refusalText(r) {
  return (r.data && r.data.error) || ('failed (' + r.status + ')');
}

export function today() {
  const d = new Date();
  const p = (n) => String(n).padStart(2, '0');
  return d.getFullYear() + '-' + p(d.getMonth() + 1) + '-' + p(d.getDate());
}
