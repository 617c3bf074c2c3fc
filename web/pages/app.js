// The web console's pages: one document, views chosen by the address's #fragment, data from the
// JSON API, refreshed when the service's change clocks move.
'use strict';

const state = { user: null, csrf: null, clocks: null, view: null, groups: [] };
const ROW = 28;          // height of a computer row, in pixels
const PAGE = 100;        // computers per request
const POLL_MS = 3000;    // how often the change clocks are read
const OS_NAMES = ['other', 'Windows 95', 'Windows 98', 'Windows ME', 'Windows NT 4', 'Windows NT 4 Server', 'Windows 2000',
  'Windows 2000 Server', 'Windows XP', 'Windows 2003', '', 'Mac OS X', 'Windows 9x', 'Unix/Samba', 'unknown'];
const UNASSIGNED = 4294967294;

function $(id) { return document.getElementById(id); }
function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') e.className = v; else if (k.startsWith('on')) e.addEventListener(k.slice(2), v); else e.setAttribute(k, v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c instanceof Node ? c : String(c));
  return e;
}
function flag(v) { return v === null || v === undefined ? el('span', { class: 'unknown' }, 'unknown') : el('span', { class: v ? 'yes' : 'no' }, v ? 'yes' : 'no'); }
function osName(code) { return OS_NAMES[code] || ('code ' + code); }
function groupName(id, name) { return id === UNASSIGNED ? 'Unassigned' : (name || String(id)); }

function showMessage(text, info) {
  const m = $('message');
  m.textContent = text || '';
  m.className = info ? 'info' : '';
  m.hidden = !text;
}

class ApiError extends Error {
  constructor(status, body) { super(body && body.error ? body.error.message : 'HTTP ' + status); this.status = status; }
}

async function api(path, options) {
  const opts = Object.assign({ credentials: 'same-origin', headers: {} }, options || {});
  if (opts.body !== undefined) {
    opts.method = opts.method || 'POST';
    opts.headers['Content-Type'] = 'application/json';
    opts.body = JSON.stringify(opts.body);
  }
  if (opts.method === 'POST' && state.csrf) opts.headers['X-CSRF-Token'] = state.csrf;
  const res = await fetch(path, opts);
  let body = null;
  try { body = await res.json(); } catch (e) { body = null; }
  if (res.status === 401 && path !== '/api/login') { loggedOut(); throw new ApiError(401, body); }
  if (!res.ok) throw new ApiError(res.status, body);
  return body;
}

// ---- log-in ----------------------------------------------------------------------------------

function loggedOut() {
  state.user = state.csrf = null;
  $('top').hidden = true;
  mount('login-view');
  $('login').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const form = ev.target;
    $('login-error').textContent = '';
    try {
      const s = await api('/api/login', { body: { user: form.user.value, password: form.password.value } });
      form.password.value = '';
      loggedIn(s);
    } catch (e) {
      form.password.value = '';
      $('login-error').textContent = e.message;
    }
  });
}

async function loggedIn(session) {
  state.user = session.user;
  state.csrf = session.csrf;
  $('top').hidden = false;
  $('who').textContent = session.user + (session.role === 'viewer' ? ' (viewer)' : '');
  // Viewers see no change controls; the server refuses their changes whatever the page shows.
  state.role = session.role;
  document.body.classList.toggle('viewer', session.role === 'viewer');
  // The clocks are read before any data, so that a change made while the first page loads is
  // still seen as a change.
  try { state.clocks = await api('/api/clocks'); } catch (e) { state.clocks = null; }
  if (!location.hash || location.hash === '#/login') location.hash = '#/overview';
  route();
}

$('logout').addEventListener('click', async () => {
  try { await api('/api/logout', { method: 'POST' }); } catch (e) { /* the session is gone either way */ }
  loggedOut();
});

// ---- views -----------------------------------------------------------------------------------

function mount(template) {
  const view = $('view');
  view.replaceChildren(document.getElementById(template).content.cloneNode(true));
  return view;
}

const views = {
  overview: { template: 'overview-view', clocks: [1, 2], load: loadOverview },
  computers: { template: 'computers-view', clocks: [0, 1, 2], load: loadComputers, refresh: refreshComputers },
  computer: { template: 'computer-view', clocks: [1, 2], load: loadComputer },
  groups: { template: 'groups-view', clocks: [0, 2], load: loadGroups },
  alerts: { template: 'alerts-view', clocks: [1], load: loadAlerts, refresh: refreshAlerts },
  search: { template: 'search-view', clocks: [], load: loadSearch },
};

function route() {
  if (!state.user) return;
  const parts = location.hash.replace(/^#\/?/, '').split('/');
  const name = views[parts[0]] ? parts[0] : 'overview';
  for (const a of document.querySelectorAll('header nav a'))
    a.classList.toggle('active', a.dataset.view === name || (name === 'computer' && a.dataset.view === 'computers'));
  showMessage('');
  state.view = { name, arg: parts[1], def: views[name] };
  mount(views[name].template);
  views[name].load(parts[1]).catch(report);
}
window.addEventListener('hashchange', route);

function report(e) { if (!(e instanceof ApiError && e.status === 401)) showMessage(e.message); }

// ---- overview --------------------------------------------------------------------------------

async function loadOverview() {
  const o = await api('/api/overview?days=30');
  const tiles = [
    ['Computers', o.Computers], ['Connected', o.Connected], ['Anti-virus installed', o.DexInstalled],
    ['Anti-virus active', o.DexActive], ['Virus data out of date', o.OutOfDate, 'warn'],
    ['Configuration not matching group', o.ConfigDiffers, 'warn'], ['Open virus alerts', o.OpenVirusAlerts, 'bad'],
    ['Open error alerts', o.OpenErrorAlerts, 'warn'],
  ];
  // The service's own counters: what is waiting for its processing thread and how fast it goes.
  const s = o.Service || {};
  if (s.Answered) {
    tiles.push(['Processing queue', s.QueueDepth, s.OldestAgeSeconds >= 60 ? 'bad' : 'warn']);
    tiles.push(['Applied per second', s.AppliedPerSecond === null ? '…' : Math.round(s.AppliedPerSecond)]);
  } else {
    tiles.push(['Service not answering', '—', 'bad', s.Error]);
  }
  $('tiles').replaceChildren(...tiles.map(([label, value, tone, title]) =>
    el('div', { class: 'tile' + (tone && value ? ' ' + tone : ''), 'data-tile': label, title: title || '' },
      el('div', { class: 'value' }, value.toLocaleString()), el('div', { class: 'label' }, label))));
  drawChart($('chart'), o.AlertsPerDay);
}

// Stacked bars of virus and error alerts per day, drawn as SVG.
function drawChart(box, days) {
  const NS = 'http://www.w3.org/2000/svg';
  const W = 900, H = 220, L = 40, B = 24, T = 10;
  const max = Math.max(1, ...days.map(d => d.VirusAlerts + d.ErrorAlerts));
  const svg = document.createElementNS(NS, 'svg');
  svg.setAttribute('viewBox', `0 0 ${W} ${H}`);
  svg.setAttribute('preserveAspectRatio', 'none');
  const bw = (W - L) / days.length;
  const y = v => H - B - (H - B - T) * v / max;
  const add = (tag, attrs, text) => {
    const e = document.createElementNS(NS, tag);
    for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
    if (text !== undefined) e.textContent = text;
    svg.append(e);
    return e;
  };
  for (const f of [0, 0.5, 1]) add('text', { x: 2, y: y(max * f) + 3 }, Math.round(max * f));
  days.forEach((d, i) => {
    const x = L + i * bw + 1;
    const title = `${d.Day}: ${d.VirusAlerts} virus, ${d.ErrorAlerts} error`;
    add('rect', { class: 'error', x, y: y(d.ErrorAlerts), width: bw - 2, height: H - B - y(d.ErrorAlerts) })
      .append(Object.assign(document.createElementNS(NS, 'title'), { textContent: title }));
    add('rect', { class: 'virus', x, y: y(d.ErrorAlerts + d.VirusAlerts), width: bw - 2, height: y(d.ErrorAlerts) - y(d.ErrorAlerts + d.VirusAlerts) })
      .append(Object.assign(document.createElementNS(NS, 'title'), { textContent: title }));
    if (i % 5 === 0 || i === days.length - 1) add('text', { x, y: H - 8 }, d.Day.slice(5));
  });
  box.replaceChildren(svg);
}

// ---- computers: a virtual list that reads only the rows in sight ------------------------------

let list = null;

function computerQuery() {
  const f = $('computer-filters');
  const q = new URLSearchParams();
  if (f.group.value) { q.set('group', f.group.value); q.set('subgroups', f.subgroups.checked ? '1' : '0'); }
  if (f.connected.value) q.set('connected', f.connected.value);
  if (f.alerts.value !== '0') q.set('alerts', f.alerts.value);
  if (f.name.value.trim()) q.set('name', f.name.value.trim());
  q.set('order', f.order.value);
  return q.toString();
}

async function fillGroupFilter() {
  state.groups = await api('/api/groups');
  const select = $('group-filter');
  if (!select) return;
  const chosen = select.value;
  select.replaceChildren(el('option', { value: '' }, 'All groups'),
    ...state.groups.map(g => el('option', { value: g.GroupID }, '\u00a0\u00a0'.repeat(g.Depth - 1) + groupName(g.GroupID, g.Name))));
  select.value = chosen;
}

async function loadComputers() {
  const head = $('computer-head');
  head.replaceChildren(...['', 'Name', 'Domain', 'Group', 'OS', 'Connected', 'Anti-virus', 'Alerts', 'Last message'].map(t => el('span', {}, t)));
  list = { query: computerQuery(), pages: new Map(), total: 0, selected: new Set(), generation: 0 };
  const f = $('computer-filters');
  let timer = null;
  f.addEventListener('input', () => { clearTimeout(timer); timer = setTimeout(resetComputers, 250); });
  f.addEventListener('submit', ev => ev.preventDefault());
  $('computer-grid').addEventListener('scroll', () => drawRows());
  await Promise.all([fillGroupFilter(), resetComputers()]);
}

async function resetComputers() {
  list.query = computerQuery();
  list.pages = new Map();
  list.generation++;
  $('computer-grid').scrollTop = 0;
  await fetchPage(0);
  drawRows();
}

async function refreshComputers(clocks) {
  if (clocks.includes(0)) await fillGroupFilter();
  list.pages = new Map();
  list.generation++;
  drawRows();
}

function fetchPage(page) {
  if (list.pages.has(page)) return list.pages.get(page).promise;
  const generation = list.generation;
  const entry = { rows: null };
  entry.promise = api(`/api/computers?${list.query}&offset=${page * PAGE}&count=${PAGE}`).then(r => {
    if (generation !== list.generation) return;
    entry.rows = r.rows;
    list.total = r.total;
    $('computer-count').textContent = `(${r.total.toLocaleString()})`;
    $('computer-spacer').style.height = (r.total * ROW) + 'px';
    drawRows();
  }).catch(e => { list.pages.delete(page); report(e); });
  list.pages.set(page, entry);
  return entry.promise;
}

function drawRows() {
  const grid = $('computer-grid');
  if (!grid || !list) return;
  const first = Math.floor(grid.scrollTop / ROW);
  const last = Math.min(list.total, first + Math.ceil(grid.clientHeight / ROW) + 1);
  const rows = [];
  for (let i = first; i < last; i++) {
    const page = Math.floor(i / PAGE);
    const entry = list.pages.get(page);
    if (!entry) { fetchPage(page); }
    const c = entry && entry.rows ? entry.rows[i - page * PAGE] : null;
    rows.push(c ? computerRow(c, i) : el('div', { class: 'row loading' }, el('span', {}), el('span', {}, 'loading…')));
    rows[rows.length - 1].style.top = (i * ROW) + 'px';
  }
  $('computer-spacer').replaceChildren(...rows);
  renderActions($('computer-actions'), () => [...list.selected]);
}

function computerRow(c) {
  const box = el('input', { type: 'checkbox', 'aria-label': 'select ' + c.ComputerName });
  box.checked = list.selected.has(c.ComputerID);
  box.addEventListener('change', () => {
    if (box.checked) list.selected.add(c.ComputerID); else list.selected.delete(c.ComputerID);
    renderActions($('computer-actions'), () => [...list.selected]);
  });
  const alerts = el('span', {});
  if (c.OutstandingVirusAlerts) alerts.append(el('span', { class: 'badge' }, c.OutstandingVirusAlerts + ' virus'));
  if (c.OutstandingErrorAlerts) alerts.append(el('span', { class: 'badge error' }, c.OutstandingErrorAlerts + ' error'));
  const av = c.DexInstalled === null ? el('span', { class: 'unknown' }, 'unknown')
    : !c.DexInstalled ? el('span', { class: 'no' }, 'not installed')
    : c.DexRunning === false ? el('span', { class: 'no' }, 'stopped')
    : el('span', { class: c.OutOfDate ? 'no' : 'yes' }, c.OutOfDate ? 'out of date' : 'active');
  return el('div', { class: 'row', 'data-id': c.ComputerID },
    el('span', {}, box),
    el('span', {}, el('a', { href: '#/computer/' + c.ComputerID }, c.ComputerName)),
    el('span', {}, c.DomainName),
    el('span', {}, groupName(c.GroupID, c.GroupName)),
    el('span', {}, osName(c.OperatingSystem)),
    el('span', {}, c.Managed ? flag(c.Connected) : el('span', { class: 'unknown' }, 'not managed')),
    el('span', {}, av),
    alerts,
    el('span', {}, c.LastMessageTime || 'never'));
}

// ---- one computer ----------------------------------------------------------------------------

async function loadComputer(id) {
  const c = await api('/api/computers/' + encodeURIComponent(id));
  $('computer-title').textContent = c.ComputerName;
  const dl = (box, pairs) => box.replaceChildren(...pairs.flatMap(([k, v]) => [el('dt', {}, k), el('dd', {}, v === null || v === '' ? '-' : v)]));
  dl($('computer-details'), [
    ['Domain', c.DomainName], ['Address', c.Address], ['Description', c.Description], ['Operating system', osName(c.OperatingSystem)],
    ['Service pack', c.ServicePack], ['IP address', c.IPAddress], ['Last logged-on user', c.LastLoggedOnUser],
    ['Group', groupName(c.GroupID, (state.groups.find(g => g.GroupID === c.GroupID) || {}).Name)],
    ['Primary update location', c.PrimaryCID], ['Secondary update location', c.SecondaryCID],
  ]);
  dl($('computer-status'), [
    ['Managed', flag(c.Managed)], ['Connected', flag(c.Connected)], ['Last message', c.LastMessageTime || 'never'],
    ['Anti-virus installed', flag(c.DexInstalled)], ['On-access scanning', flag(c.DexOnAccess)], ['Anti-virus version', c.DexVersion],
    ['Virus data version', c.VirusDataVersion], ['Virus data out of date since', c.OutOfDateSince],
    ['Last scan', c.LastScanDateTime ? c.LastScanDateTime + ' ' + c.LastScanName : 'never'],
    ['Update configuration matches group', flag(c.HasGroupAUConfig)], ['Anti-virus configuration matches group', flag(c.HasGroupDexConfig)],
    ['Install pending', flag(c.InstallPending)], ['Install in progress', flag(c.InstallInProgress)],
    ['Install failure reason', c.InstallFailureReason || null],
  ]);
  $('computer-au').textContent = c.AUConfigXML || '(none reported)';
  $('computer-dex').textContent = c.DexConfigXML || '(none reported)';
  renderActions($('one-computer-actions'), () => [c.ComputerID]);
  const alerts = await api('/api/alerts?computer=' + c.ComputerID + '&count=200');
  alertTable($('computer-alerts'), alerts.rows, false);
  if (!state.groups.length) state.groups = await api('/api/groups');
}

// ---- groups ----------------------------------------------------------------------------------

const ROOT = 4294967295;
let chosenGroup = null;

async function loadGroups() {
  state.groups = await api('/api/groups');
  const top = el('li', { 'data-group': ROOT }, el('a', {}, 'All groups (top level)'));
  $('group-tree').replaceChildren(top, ...state.groups.map(g => {
    const li = el('li', { 'data-group': g.GroupID },
      el('a', {}, groupName(g.GroupID, g.Name)), el('span', { class: 'n' }, g.Computers + ' computers'));
    li.style.paddingLeft = (g.Depth * 20) + 'px';
    return li;
  }));
  for (const li of $('group-tree').children)
    li.addEventListener('click', () => chooseGroup(Number(li.dataset.group)).catch(report));
  wireGroupForms();
  await chooseGroup(chosenGroup !== null && (chosenGroup === ROOT || state.groups.some(g => g.GroupID === chosenGroup)) ? chosenGroup : ROOT);
}

async function chooseGroup(id) {
  chosenGroup = id;
  for (const li of $('group-tree').children) li.classList.toggle('selected', Number(li.dataset.group) === id);
  const g = state.groups.find(x => x.GroupID === id);
  const ordinary = id !== ROOT && id !== UNASSIGNED;
  $('group-title').textContent = id === ROOT ? 'Top level' : groupName(id, g && g.Name);
  $('group-create').hidden = id === UNASSIGNED;
  for (const f of ['group-rename', 'group-move', 'group-delete', 'group-add', 'group-config']) $(f).hidden = !ordinary;
  $('group-move').parent.replaceChildren(el('option', { value: ROOT }, 'top level'),
    ...state.groups.filter(x => x.GroupID !== id && x.GroupID !== UNASSIGNED)
      .map(x => el('option', { value: x.GroupID }, '\u00a0\u00a0'.repeat(x.Depth - 1) + x.Name)));
  if (ordinary) {
    const c = await api(`/api/groups/${id}/configuration`);
    $('group-au').xml.value = c.AUConfigXML || '';
    $('group-dex').xml.value = c.DexConfigXML || '';
  }
}

function wireGroupForms() {
  const on = (id, work, done) => $(id).addEventListener('submit', async (ev) => {
    ev.preventDefault();
    try {
      await work(ev.target);
      showMessage(done, true);
      await loadGroups();
    } catch (e) { report(e); }
  });
  on('group-create', f => api('/api/groups', { body: { parent: chosenGroup, name: f.name.value } }).then(r => { chosenGroup = r.GroupID; }), 'Group created');
  on('group-rename', f => api(`/api/groups/${chosenGroup}/rename`, { body: { name: f.name.value } }), 'Group renamed');
  on('group-move', f => api(`/api/groups/${chosenGroup}/move`, { body: { parent: Number(f.parent.value) } }), 'Group moved');
  on('group-delete', () => api(`/api/groups/${chosenGroup}/delete`, { body: {} }).then(() => { chosenGroup = ROOT; }), 'Group deleted');
  on('group-add', f => api(`/api/groups/${chosenGroup}/add-computers`,
    { body: { computers: f.computers.value.split(/[\s,;]+/).filter(Boolean).map(Number) } }), 'Computers added');
  on('group-au', f => api(`/api/groups/${chosenGroup}/configuration`, { body: { configuration: 'update', xml: f.xml.value } }), 'Update configuration set');
  on('group-dex', f => api(`/api/groups/${chosenGroup}/configuration`, { body: { configuration: 'anti-virus', xml: f.xml.value } }), 'Anti-virus configuration set');
}

// ---- alerts ----------------------------------------------------------------------------------

let alertOffset = 0;

function alertTable(table, rows, withComputer) {
  const head = el('tr', {}, ...['Time', 'Type', ...(withComputer ? ['Computer'] : []), 'What', 'User', 'State'].map(t => el('th', {}, t)));
  table.replaceChildren(head, ...rows.map(a => el('tr', { 'data-alert': a.AlertID },
    el('td', {}, a.AlertTime),
    el('td', {}, a.AlertType === 2 ? el('span', { class: 'badge' }, 'virus') : el('span', { class: 'badge error' }, 'error')),
    ...(withComputer ? [el('td', {}, el('a', { href: '#/computer/' + a.ComputerID }, a.ComputerName))] : []),
    el('td', {}, a.AlertType === 2 ? `${a.VirusName} in ${a.InfectedItem}` : `${a.Source} ${a.MessageCode} (${a.Number})`),
    el('td', {}, a.UserName),
    el('td', {}, a.Outstanding && state.role === 'viewer' ? 'outstanding' : a.Outstanding ? el('button', {
      type: 'button', class: 'secondary', 'data-dealt': a.AlertID,
      onclick: async (ev) => {
        ev.stopPropagation();
        try {
          await api('/api/alerts/dealt-with', { body: { computer: a.ComputerID, alert: a.AlertID } });
          showMessage('Alert marked as dealt with', true);
          const v = state.view;
          (v.def.refresh ? v.def.refresh([1]) : v.def.load(v.arg)).catch(report);
        } catch (e) { report(e); }
      },
    }, 'Mark dealt with') : 'dealt with'))));
  for (const tr of table.querySelectorAll('tr[data-alert]'))
    tr.addEventListener('click', () => showAlert(Number(tr.dataset.alert), tr).catch(report));
}

async function showAlert(id, row) {
  const box = $('alert-details');
  if (!box) return;
  for (const tr of row.parentNode.children) tr.classList.toggle('chosen', tr === row);
  const a = await api('/api/alerts/' + id);
  const pairs = a.AlertType === 2
    ? [['Time', a.AlertTime], ['Virus', a.VirusName], ['Infected item', a.InfectedItem], ['User', a.UserName],
       ['Action taken', a.ActionTaken], ['Outstanding', flag(a.Outstanding)], ['More about the virus', a.VirusInformation]]
    : [['Time', a.AlertTime], ['Message', a.Text], ['Source', a.Source], ['Code', `${a.MessageCode} (${a.Number})`],
       ['User', a.UserName], ['Outstanding', flag(a.Outstanding)]];
  $('alert-fields').replaceChildren(...pairs.flatMap(([k, v]) => [el('dt', {}, k), el('dd', {}, v === null || v === '' ? '-' : v)]));
  box.hidden = false;
}

async function loadAlerts() {
  alertOffset = 0;
  const f = $('alert-filters');
  f.addEventListener('input', () => { alertOffset = 0; refreshAlerts().catch(report); });
  f.addEventListener('submit', ev => ev.preventDefault());
  $('alerts-prev').addEventListener('click', () => { alertOffset = Math.max(0, alertOffset - PAGE); refreshAlerts().catch(report); });
  $('alerts-next').addEventListener('click', () => { alertOffset += PAGE; refreshAlerts().catch(report); });
  const purge = $('purge');
  purge.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    try {
      await api('/api/purge-settings', { body: { CompanyName: purge.CompanyName.value, Method: Number(purge.Method.value),
        Months: Number(purge.Months.value), Maximum: Number(purge.Maximum.value) } });
      showMessage('Purge settings saved', true);
      await refreshAlerts();
    } catch (e) { report(e); }
  });
  const p = await api('/api/purge-settings');
  for (const k of ['CompanyName', 'Method', 'Months', 'Maximum']) purge[k].value = p[k];
  // A viewer reads the settings but cannot send them.
  for (const e of purge.elements) e.disabled = state.role === 'viewer';
  await refreshAlerts();
}

async function refreshAlerts() {
  const f = $('alert-filters');
  const q = new URLSearchParams({ offset: alertOffset, count: PAGE });
  for (const k of ['type', 'outstanding', 'computer']) if (f[k].value.trim()) q.set(k, f[k].value.trim());
  const r = await api('/api/alerts?' + q);
  $('alert-count').textContent = `(${r.total.toLocaleString()})`;
  $('alert-page').textContent = r.total ? `${alertOffset + 1}–${alertOffset + r.rows.length} of ${r.total.toLocaleString()}` : 'none';
  $('alerts-prev').disabled = alertOffset === 0;
  $('alerts-next').disabled = alertOffset + r.rows.length >= r.total;
  alertTable($('alert-table'), r.rows, true);
}

// ---- actions on computers -------------------------------------------------------------------

const ACTIONS = [
  ['refresh', 'Refresh', {}],
  ['update-now', 'Update now', {}],
  ['central-config', 'Central configuration on', { on: true }],
  ['central-config', 'Central configuration off', { on: false }],
  ['send-config', 'Send update configuration', { configuration: 'update' }],
  ['send-config', 'Send anti-virus configuration', { configuration: 'anti-virus' }],
  ['install', 'Install…', null],
];

// Buttons for the selected computers (or, on the computers page with a group chosen and nothing
// selected, for that group's computers).
function renderActions(box, selection) {
  if (!box) return;
  const ids = selection();
  const filter = $('computer-filters');
  const group = filter && filter.group.value && box.id === 'computer-actions' ? filter.group.value : '';
  const target = ids.length ? { computers: ids } : group ? { group: Number(group), subgroups: filter.subgroups.checked } : null;
  const what = ids.length ? `${ids.length} selected` : group ? 'the chosen group' : 'select computers or a group';
  box.replaceChildren(el('span', { class: 'unknown' }, what + ':'), ...ACTIONS.map(([action, label, extra]) =>
    el('button', {
      type: 'button', class: 'secondary', 'data-action': action, ...(target ? {} : { disabled: '' }),
      onclick: async () => {
        if (!extra) return installForm(box, target);
        try {
          const r = await api('/api/actions/' + action, { body: Object.assign({}, target, extra) });
          showMessage(`${label}: queued for ${r.queued} computer${r.queued === 1 ? '' : 's'}`, true);
        } catch (e) { report(e); }
      },
    }, label)));
}

// The account the service installs with; its password goes to the service and nowhere else.
function installForm(box, target) {
  const form = el('form', { class: 'edit', autocomplete: 'off' },
    el('label', {}, 'Administrator account ', el('input', { name: 'user', required: '' })),
    el('label', {}, 'Password ', el('input', { name: 'password', type: 'password', autocomplete: 'new-password' })),
    el('button', {}, 'Install'));
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    try {
      const r = await api('/api/actions/install', { body: Object.assign({}, target, { user: form.user.value, password: form.password.value }) });
      showMessage(`Install: queued for ${r.queued} computer${r.queued === 1 ? '' : 's'}`, true);
    } catch (e) { report(e); }
    form.remove();
  });
  box.after(form);
}

// ---- network search: progress from the service's listener, as server-sent events -----------

let searchEvents = null;

async function loadSearch() {
  const form = $('search-form');
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const domains = [...form.domains.selectedOptions].map(o => o.value);
    try {
      await api('/api/search', { body: { domains, user: form.user.value, password: form.password.value } });
      form.password.value = '';
      showMessage(`Searching ${domains.length} domain${domains.length === 1 ? '' : 's'}`, true);
    } catch (e) { report(e); }
  });
  $('search-stop').addEventListener('click', () => api('/api/search/stop', { method: 'POST' }).catch(report));
  if (searchEvents) searchEvents.close();
  searchEvents = new EventSource('/api/search/events');
  searchEvents.onmessage = (m) => {
    const p = JSON.parse(m.data);
    const box = $('search-progress');
    if (!box) { searchEvents.close(); searchEvents = null; return; }
    box.textContent = p.running
      ? `Searching: ${p.found} computers found, ${p.known} queried, ${Math.max(0, p.found - p.known)} to go`
      : p.event === 'finished' ? `Search finished: ${p.found} computers found` : 'No search is running.';
  };
  try {
    const domains = await api('/api/search/domains');
    $('search-domains').replaceChildren(...domains.map(d => el('option', { value: d }, d)));
  } catch (e) { report(e); }
}

// ---- live: the change clocks -----------------------------------------------------------------

async function poll() {
  if (state.user) {
    try {
      const clocks = await api('/api/clocks');
      $('live').textContent = 'live';
      $('live').title = 'Change clocks: ' + JSON.stringify(clocks);
      if (state.clocks && state.view) {
        const moved = Object.keys(clocks).filter(k => clocks[k] !== state.clocks[k]).map(Number);
        const covered = moved.filter(c => state.view.def.clocks.includes(c));
        if (covered.length) {
          // Read now, and once more shortly: the service may tick a clock before the change it
          // announces is committed.
          const v = state.view;
          const reread = () => { if (state.view === v) (v.def.refresh ? v.def.refresh(covered) : v.def.load(v.arg)).catch(report); };
          reread();
          setTimeout(reread, 1500);
        }
      }
      state.clocks = clocks;
    } catch (e) {
      $('live').textContent = e.status === 503 ? 'service not reachable' : '';
    }
  }
  setTimeout(poll, POLL_MS);
}

api('/api/session').then(loggedIn).catch(() => loggedOut());
setTimeout(poll, POLL_MS);
