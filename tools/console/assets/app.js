// The console's pages. Everything shown comes from clients' uploads, so the
// DOM is built with textContent and attributes only, never from markup.
'use strict';

const kinds = ['reportLog', 'reportDetail', 'reportDump', 'reportUser'];
const kindNames = { reportLog: 'error log', reportDetail: 'detail log', reportDump: 'dump', reportUser: 'user report' };

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === undefined || v === null || v === false) continue;
    e.setAttribute(k, v === true ? '' : String(v));
  }
  for (const c of children) {
    if (c === undefined || c === null) continue;
    e.appendChild(typeof c === 'string' || typeof c === 'number' ? document.createTextNode(String(c)) : c);
  }
  return e;
}

function url(path, params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params || {})) if (v !== undefined && v !== null && v !== '') q.set(k, v);
  const s = q.toString();
  return s ? path + '?' + s : path;
}

const query = new URLSearchParams(location.search);
const main = () => document.getElementById('main');

function show(...nodes) {
  const m = main();
  m.replaceChildren(...nodes);
}

function signInAgain() {
  location.assign(url('/login', { next: location.pathname + location.search }));
}

async function api(path, options) {
  const res = await fetch(path, Object.assign({ credentials: 'same-origin' }, options || {}));
  if (res.status === 401 && path !== '/api/login') {
    signInAgain();
    throw new Error('not signed in');
  }
  let body = null;
  try { body = await res.json(); } catch (e) { body = null; }
  if (!res.ok) throw new Error((body && body.error) || ('HTTP ' + res.status));
  return body;
}

function failure(e) {
  return el('p', { class: 'error', id: 'failure' }, String(e.message || e));
}

function fmtBytes(n) {
  if (n < 1024) return n + ' B';
  if (n < 1048576) return (n / 1024).toFixed(1) + ' KiB';
  return (n / 1048576).toFixed(1) + ' MiB';
}

// ---- sign-in ----

function safeNext() {
  const next = query.get('next') || '/search';
  // Only a path of this console: no other host, no scheme.
  return next.startsWith('/') && !next.startsWith('//') && !next.startsWith('/\\') ? next : '/search';
}

function loginPage() {
  const name = el('input', { name: 'name', id: 'name', autocomplete: 'username', required: true });
  const password = el('input', { name: 'password', id: 'password', type: 'password', autocomplete: 'current-password', required: true });
  const message = el('p', { id: 'message', class: 'error' });
  const form = el('form', { class: 'login', id: 'login' },
    el('h1', {}, 'Sign in'),
    el('label', {}, 'Name', name), el('label', {}, 'Password', password),
    el('button', { type: 'submit', id: 'signin' }, 'Sign in'), message);
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    message.textContent = '';
    try {
      await api('/api/login', { method: 'POST', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ name: name.value, password: password.value }) });
      location.assign(safeNext());
    } catch (e) {
      message.textContent = e.message;
    }
  });
  show(form);
  name.focus();
}

async function header() {
  const me = await api('/api/me');
  const out = el('button', { type: 'button', id: 'signout' }, 'Sign out');
  out.addEventListener('click', async () => {
    await fetch('/api/logout', { method: 'POST', credentials: 'same-origin' });
    location.assign('/login');
  });
  document.getElementById('who').replaceChildren(
    el('span', { id: 'operator' }, me.name + ' (' + me.orgs.join(', ') + ')'), out);
  return me;
}

// ---- search ----

const searchFields = ['org', 'client', 'meeting', 'kind', 'node', 'from', 'to'];

function searchForm() {
  const input = (name, label, hint) => el('label', {}, label,
    el('input', { name, id: 'f-' + name, value: query.get(name) || '', placeholder: hint || '' }));
  const kind = el('select', { name: 'kind', id: 'f-kind' }, el('option', { value: '' }, 'any'),
    ...kinds.map((k) => el('option', { value: k, selected: query.get('kind') === k }, kindNames[k])));
  return el('form', { class: 'search', method: 'get', action: '/search', id: 'search' },
    input('meeting', 'Meeting id'), input('client', 'Client (PC id, nickname; part of it)'),
    el('label', {}, 'Kind', kind), input('org', 'Organisation'), input('node', 'Node'),
    input('from', 'From (UTC)', '2026-12-06T08:00'), input('to', 'To (UTC)', '2026-12-06T12:00'),
    el('button', { type: 'submit', id: 'go' }, 'Search'));
}

function itemRow(it, live) {
  return el('tr', { class: live ? 'item live' : 'item', 'data-id': it.id },
    el('td', {}, it.time),
    el('td', {}, kindNames[it.cmdType] || it.cmdType),
    el('td', {}, el('a', { href: url('/client', { client: it.client }), class: 'client' }, it.client || '(unknown)'),
      it.nickname ? el('div', { class: 'muted nickname' }, it.nickname) : null),
    el('td', {}, it.meeting),
    el('td', {}, it.org), el('td', {}, it.node),
    el('td', {}, fmtBytes(it.bytes)),
    el('td', {}, el('a', { href: url('/item', { id: it.id }), class: 'open' }, 'open')));
}

function itemTable(items) {
  return el('table', { id: 'results' },
    el('thead', {}, el('tr', {}, ...['Time (UTC)', 'Kind', 'Client', 'Meeting', 'Organisation', 'Node', 'Size', ''].map((h) => el('th', {}, h)))),
    el('tbody', {}, ...items.map((it) => itemRow(it, false))));
}

// Whether a live item belongs to the search on screen.
function matchesSearch(it) {
  const q = (k) => query.get(k) || '';
  if (q('meeting') && it.meeting !== q('meeting')) return false;
  if (q('kind') && it.cmdType !== q('kind')) return false;
  if (q('org') && it.org !== q('org')) return false;
  if (q('node') && it.node !== q('node')) return false;
  if (q('client') && !(it.client + '\n' + it.nickname).toLowerCase().includes(q('client').toLowerCase())) return false;
  if (q('to')) return false;
  return true;
}

function liveInto(tbody, accept) {
  const status = el('span', { id: 'live', class: 'muted' }, 'live: connecting');
  const source = new EventSource('/api/events');
  source.onopen = () => { status.textContent = 'live: on'; status.setAttribute('data-state', 'on'); };
  source.onerror = () => { status.textContent = 'live: reconnecting'; status.setAttribute('data-state', 'off'); };
  source.onmessage = (ev) => {
    let it;
    try { it = JSON.parse(ev.data); } catch (e) { return; }
    if (accept(it)) tbody.insertBefore(itemRow(it, true), tbody.firstChild);
  };
  return status;
}

async function searchPage() {
  await header();
  const form = searchForm();
  const params = {};
  for (const k of searchFields.concat(['cursor'])) params[k] = query.get(k);
  let result;
  try {
    result = await api(url('/api/search', params));
  } catch (e) {
    show(el('h1', {}, 'Search'), form, failure(e));
    return;
  }
  const counts = el('p', { class: 'counts', id: 'counts' },
    ...kinds.map((k) => el('span', { 'data-kind': k }, kindNames[k] + ': ' + (result.counts[k] || 0))));
  const table = itemTable(result.items);
  const parts = [el('h1', {}, 'Search'), form, counts];
  const bar = el('div', { class: 'toolbar' });
  if (!query.get('cursor')) bar.appendChild(liveInto(table.tBodies[0], matchesSearch));
  if (result.next) {
    const next = {};
    for (const k of searchFields) next[k] = query.get(k);
    next.cursor = result.next;
    bar.appendChild(el('a', { href: url('/search', next), id: 'next' }, 'Older →'));
  }
  parts.push(bar, table);
  if (!result.items.length) parts.push(el('p', { class: 'muted', id: 'empty' }, 'Nothing found.'));
  show(...parts);
}

// ---- a client ----

const svgNs = 'http://www.w3.org/2000/svg';
function svg(tag, attrs, text) {
  const e = document.createElementNS(svgNs, tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, String(v));
  if (text !== undefined) e.textContent = text;
  return e;
}

// Uploads per hour over the last days, one small chart per kind, so a gap
// where the client stopped uploading shows at a glance.
function chartOf(kind, hours, since, count) {
  const w = 3, h = 40, left = 90;
  const start = Date.parse(since);
  const values = new Array(count).fill(0);
  for (const [hour, n] of Object.entries(hours)) {
    const i = Math.floor((Date.parse(hour + ':00:00Z') - start) / 3600000);
    if (i >= 0 && i < count) values[i] += n;
  }
  const max = Math.max(1, ...values);
  const s = svg('svg', { class: 'chart', width: left + count * w + 40, height: h + 16, 'data-kind': kind, role: 'img' });
  s.appendChild(svg('text', { x: 4, y: 14 }, kindNames[kind] || kind));
  s.appendChild(svg('text', { x: 4, y: 28 }, 'max ' + max + '/h'));
  values.forEach((n, i) => {
    if (!n) return;
    const bh = Math.max(2, Math.round((n / max) * h));
    const r = svg('rect', { class: 'bar', x: left + i * w, y: h - bh + 2, width: w - 1, height: bh });
    r.appendChild(svg('title', {}, new Date(start + i * 3600000).toISOString().slice(0, 13) + 'h: ' + n));
    s.appendChild(r);
  });
  for (let d = 0; d <= count / 24; d++)
    s.appendChild(svg('text', { x: left + d * 24 * w - 6, y: h + 14 }, new Date(start + d * 86400000).toISOString().slice(5, 10)));
  return s;
}

async function clientPage() {
  await header();
  const client = query.get('client') || '';
  try {
    const [chart, files] = await Promise.all([api(url('/api/chart', { client })), api(url('/api/search', { client, limit: 200 }))]);
    const charts = el('div', { id: 'charts' });
    for (const k of kinds) charts.appendChild(chartOf(k, chart.kinds[k] || {}, chart.since, chart.hours));
    const table = itemTable(files.items.filter((it) => it.client === client));
    show(el('h1', {}, 'Client ', el('span', { id: 'client-name' }, client)),
      el('h2', {}, 'Uploads per hour, last 7 days (UTC)'), charts,
      el('h2', {}, 'Files'), el('div', { class: 'toolbar' }, liveInto(table.tBodies[0], (it) => it.client === client)), table);
  } catch (e) {
    show(el('h1', {}, 'Client'), failure(e));
  }
}

// ---- an item ----

function fieldTable(pairs) {
  return el('table', { class: 'fields' }, el('tbody', {},
    ...pairs.filter(([, v]) => v !== undefined && v !== '').map(([k, v]) => el('tr', {}, el('th', {}, k), el('td', {}, String(v))))));
}

function prettyJson(text) {
  try { return JSON.stringify(JSON.parse(text), null, 2); } catch (e) { return text; }
}

async function itemPage() {
  await header();
  const id = query.get('id') || '';
  let data;
  try {
    data = await api('/api/item/' + encodeURIComponent(id));
  } catch (e) {
    show(el('h1', {}, 'Item'), failure(e));
    return;
  }
  const it = data.item;
  const parts = [el('h1', {}, (kindNames[it.cmdType] || it.cmdType) + ' from ',
    el('a', { href: url('/client', { client: it.client }), id: 'item-client' }, it.client || '(unknown)'))];
  parts.push(fieldTable([['Time (UTC)', it.time], ['Client', it.client], ['Nickname', it.nickname], ['Meeting', it.meeting],
    ['Organisation', it.org], ['Node', it.node], ['Seq', it.seq], ['Stored as', it.path], ['Size', fmtBytes(it.bytes)],
    ['Rejected', it.rejected]]));
  const bar = el('div', { class: 'toolbar' });
  if (it.cmdType === 'reportLog' || it.cmdType === 'reportDetail') {
    bar.append(el('a', { href: url('/log', { id: it.id }), id: 'read' }, 'Read the log'),
      el('a', { href: '/api/file/' + it.id, id: 'download' }, 'Download'));
  } else if (it.cmdType === 'reportDump') {
    bar.append(el('a', { href: '/api/file/' + it.id, id: 'download' }, 'Download the .dmp'));
  }
  parts.push(bar);
  if (it.cmdType === 'reportDump') parts.push(el('h2', {}, 'Dump info'), el('pre', { id: 'info' }, prettyJson(data.info || '')));
  if (it.cmdType === 'reportUser') {
    let req = {};
    try { req = JSON.parse(data.request) || {}; } catch (e) { req = {}; }
    parts.push(el('h2', {}, 'Contact'), el('pre', { id: 'contact' }, String(req.contact || '')));
    parts.push(el('h2', {}, 'Content'), el('pre', { id: 'content' }, String(req.content || '')));
    const list = el('ul', { id: 'attachments' }, ...(data.attachments || []).map((a) =>
      el('li', {}, el('a', { href: url('/api/file/' + it.id, { attachment: a.index }), class: 'attachment' }, a.name),
        ' ', el('span', { class: 'muted' }, fmtBytes(a.bytes)))));
    parts.push(el('h2', {}, 'Attachments'), list);
    if ((data.attachments || []).length) parts.push(el('a', { href: '/api/zip/' + it.id, id: 'download-all' }, 'Download all (.zip)'));
  }
  parts.push(el('h2', {}, 'Request as received'), el('pre', { id: 'request' }, prettyJson(data.request || '')));
  show(...parts);
}

// ---- a log ----

async function logPage() {
  await header();
  const id = query.get('id') || '';
  const params = { offset: query.get('offset'), line: query.get('line'), filter: query.get('filter'), whole: query.get('whole') };
  let page;
  try {
    page = await api(url('/api/log/' + encodeURIComponent(id), params));
  } catch (e) {
    show(el('h1', {}, 'Log'), failure(e));
    return;
  }
  const filter = el('form', { method: 'get', action: '/log', class: 'toolbar', id: 'filter-form' },
    el('input', { type: 'hidden', name: 'id', value: id }),
    query.get('whole') ? el('input', { type: 'hidden', name: 'whole', value: '1' }) : null,
    el('input', { name: 'filter', id: 'filter', value: query.get('filter') || '', placeholder: 'only lines holding…' }),
    el('button', { type: 'submit' }, 'Filter'));
  const log = el('div', { id: 'log' }, ...page.lines.map((l) =>
    el('div', { class: l.error ? 'line log-error' : 'line', 'data-offset': l.offset },
      el('span', { class: 'num' }, l.line ? String(l.line) : '·'), el('span', { class: 'text' }, l.text))));
  const errors = () => Array.from(log.querySelectorAll('.log-error'));
  let current = -1;
  const nextError = el('button', { type: 'button', id: 'next-error' }, 'Next error');
  const errorCount = el('span', { id: 'error-count', class: 'muted' }, errors().length + ' error lines on this page');
  nextError.addEventListener('click', () => {
    const all = errors();
    if (!all.length) return;
    if (current >= 0) all[current].classList.remove('current');
    current = (current + 1) % all.length;
    all[current].classList.add('current');
    all[current].scrollIntoView({ block: 'center' });
  });
  const bar = el('div', { class: 'toolbar' }, el('a', { href: url('/item', { id }) }, '← item'), nextError, errorCount,
    el('a', { href: url('/api/file/' + id, { whole: query.get('whole') }), id: 'download' }, 'Download'));
  if (page.next !== null) {
    bar.appendChild(el('a', { id: 'next-page', href: url('/log', { id, offset: page.next, line: page.nextLine, filter: query.get('filter'), whole: query.get('whole') }) }, 'Next page →'));
  }
  if (!query.get('whole') && page.end - page.begin < page.fileBytes) {
    bar.appendChild(el('a', { href: url('/log', { id, whole: 1 }), id: 'whole' }, 'The whole file'));
  }
  show(el('h1', {}, 'Log'), filter, bar, log);
}

// ---- start ----

const pages = { '/login': loginPage, '/search': searchPage, '/client': clientPage, '/item': itemPage, '/log': logPage };

document.addEventListener('DOMContentLoaded', () => {
  if (location.pathname === '/') { location.replace('/search'); return; }
  const page = pages[location.pathname];
  if (!page) { show(el('p', { class: 'error' }, 'No such page.')); return; }
  Promise.resolve(page()).catch((e) => { if (e.message !== 'not signed in') show(failure(e)); });
});
