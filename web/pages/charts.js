// The overview's charts, the outbreak view and banner, and the CSV export links. Charts are
// plain SVG drawn here from the figures the server aggregates; each mark carries its numbers in
// data- attributes (what a test or a curious administrator reads).
'use strict';

const SVG_NS = 'http://www.w3.org/2000/svg';
const OUTBREAK_POLL_MS = 15000;
// Up to 90 days: a longer period reads too many detections for an overview that redraws live.
const PERIODS = [[1, 'last day'], [7, 'last 7 days'], [30, 'last 30 days'], [90, 'last 90 days']];
let chartPeriod = 30;

function svgEl(tag, attrs, text) {
  const e = document.createElementNS(SVG_NS, tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}
function svgTitle(node, text) { node.append(svgEl('title', {}, text)); return node; }
function num(n) { return Number(n).toLocaleString(); }

// Stacked columns over time: one column per row of `rows`, one band per series.
function drawColumns(box, rows, series, labelOf, tickEvery) {
  const W = 900, H = 200, L = 40, B = 22, T = 8;
  const max = Math.max(1, ...rows.map(r => series.reduce((s, [key]) => s + r[key], 0)));
  const svg = svgEl('svg', { viewBox: `0 0 ${W} ${H}`, preserveAspectRatio: 'none', class: 'columns-chart' });
  const y = v => H - B - (H - B - T) * v / max;
  const w = (W - L) / rows.length;
  for (const f of [0, 0.5, 1]) svg.append(svgEl('text', { x: 2, y: y(max * f) + 3 }, Math.round(max * f)));
  rows.forEach((r, i) => {
    const g = svgEl('g', { 'data-label': labelOf(r) });
    for (const [key] of series) g.setAttribute('data-' + key.toLowerCase(), r[key]);
    let base = 0;
    for (const [key, cls] of series) {
      if (r[key] > 0)
        g.append(svgTitle(svgEl('rect', { class: cls, x: L + i * w, y: y(base + r[key]), width: Math.max(w - 0.5, 0.5), height: y(base) - y(base + r[key]) }),
          `${labelOf(r)}: ${r[key]} ${key.toLowerCase()}`));
      base += r[key];
    }
    svg.append(g);
    if (i % tickEvery === 0) svg.append(svgEl('text', { x: L + i * w, y: H - 6 }, labelOf(r).slice(5, 10)));
  });
  box.replaceChildren(svg, legend(series));
}

function legend(series) {
  return el('div', { class: 'legend' }, ...series.map(([key, cls, text]) => el('span', { class: 'key ' + cls }, text || key)));
}

// Horizontal bars, one per row: label, bar, value; `href` makes the label a link.
function drawBars(box, rows, { label, value, href, title, cls }) {
  if (!rows.length) { box.replaceChildren(el('p', { class: 'unknown' }, 'None in this period.')); return; }
  const max = Math.max(1, ...rows.map(value));
  const W = 300, ROW = 20;
  box.replaceChildren(...rows.map(r => {
    const svg = svgEl('svg', { viewBox: `0 0 ${W} ${ROW}`, preserveAspectRatio: 'none', class: 'bar' });
    svg.append(svgTitle(svgEl('rect', { class: cls ? cls(r) : 'virus', x: 0, y: 3, width: Math.max(1, W * value(r) / max), height: ROW - 6,
      'data-name': label(r), 'data-value': value(r) }), title ? title(r) : `${label(r)}: ${value(r)}`));
    return el('div', { class: 'bar-row' },
      href ? el('a', { href: href(r), class: 'bar-label' }, label(r)) : el('span', { class: 'bar-label' }, label(r)),
      svg, el('span', { class: 'bar-value' }, num(value(r))));
  }));
}

// One bar split into yes / no / unknown.
function splitBar(yes, no, unknown, what) {
  const total = Math.max(1, yes + no + unknown), W = 200;
  const svg = svgEl('svg', { viewBox: `0 0 ${W} 16`, preserveAspectRatio: 'none', class: 'bar split', 'data-yes': yes, 'data-no': no, 'data-unknown': unknown });
  let x = 0;
  for (const [n, cls, text] of [[yes, 'good', 'match'], [no, 'bad', 'differ'], [unknown, 'muted', 'unknown']]) {
    if (n) svg.append(svgTitle(svgEl('rect', { class: cls, x, y: 2, width: W * n / total, height: 12 }), `${what}: ${n} ${text}`));
    x += W * n / total;
  }
  return svg;
}

async function loadCharts() {
  const view = $('view');
  if (!$('charts')) {
    view.append(el('div', { id: 'charts', class: 'chart-grid' },
      el('section', { class: 'card wide' }, el('h2', {}, 'Detections per hour, last 7 days'), el('div', { id: 'chart-hours' })),
      el('section', { class: 'card wide' },
        el('h2', {}, 'Most detected and most affected ',
          el('select', { id: 'chart-period' }, ...PERIODS.map(([d, t]) => el('option', { value: d }, t)))),
        el('div', { class: 'chart-grid three' },
          el('div', {}, el('h3', {}, 'Viruses'), el('div', { id: 'chart-viruses' })),
          el('div', {}, el('h3', {}, 'Computers'), el('div', { id: 'chart-computers' })),
          el('div', {}, el('h3', {}, 'Groups'), el('div', { id: 'chart-groups' })))),
      el('section', { class: 'card' }, el('h2', {}, 'Configuration matching the group'), el('div', { id: 'chart-compliance' })),
      el('section', { class: 'card' }, el('h2', {}, 'Virus data versions, oldest first'), el('div', { id: 'chart-versions' }))));
    $('chart-period').value = chartPeriod;
    $('chart-period').addEventListener('change', (ev) => { chartPeriod = Number(ev.target.value); loadTop().catch(report); });
  }
  await Promise.all([loadHours(), loadTop(), loadCompliance(), loadVersions()]);
}

async function loadHours() {
  const d = await api('/api/charts/detections?days=7');
  if (!$('chart-hours')) return;
  drawColumns($('chart-hours'), d.Hours, [['Virus', 'virus', 'virus'], ['Error', 'error', 'error'], ['Update', 'update', 'update']],
    r => r.Hour, 24);
}

async function loadTop() {
  const t = await api(`/api/charts/top?days=${chartPeriod}&count=10`);
  if (!$('chart-viruses')) return;
  drawBars($('chart-viruses'), t.Viruses, { label: v => v.VirusName, value: v => v.Detections,
    href: v => '#/outbreak/' + encodeURIComponent(v.VirusName), title: v => `${v.VirusName}: ${v.Detections} detections on ${v.Computers} computers` });
  drawBars($('chart-computers'), t.Computers, { label: c => c.ComputerName, value: c => c.Detections,
    href: c => '#/computer/' + c.ComputerID, title: c => `${c.ComputerName}: ${c.Detections} detections of ${c.Viruses} viruses` });
  drawBars($('chart-groups'), t.Groups, { label: g => groupName(g.GroupID, g.GroupName), value: g => g.Detections,
    title: g => `${groupName(g.GroupID, g.GroupName)}: ${g.Detections} detections on ${g.Computers} computers` });
}

const COMPLIANCE_SHOWN = 15;

async function loadCompliance() {
  const groups = await api('/api/charts/compliance');
  const box = $('chart-compliance');
  if (!box) return;
  const head = el('div', { class: 'compliance-row head' }, el('span', {}, 'Group'), el('span', {}, 'Anti-virus'), el('span', {}, 'Update'));
  const rows = groups.slice(0, COMPLIANCE_SHOWN).map(g => el('div', { class: 'compliance-row', 'data-group': g.GroupID },
    el('span', { class: 'bar-label', title: `${g.Computers} computers` }, groupName(g.GroupID, g.GroupName)),
    splitBar(g.DexYes, g.DexNo, g.DexUnknown, 'anti-virus'), splitBar(g.AUYes, g.AUNo, g.AUUnknown, 'update')));
  const more = groups.length > COMPLIANCE_SHOWN
    ? el('p', { class: 'unknown' }, `and ${groups.length - COMPLIANCE_SHOWN} more groups, all matching better`) : null;
  box.replaceChildren(head, ...rows, legend([['m', 'good', 'matches'], ['d', 'bad', 'differs'], ['u', 'muted', 'unknown']]));
  if (more) box.append(more);
}

async function loadVersions() {
  const versions = await api('/api/charts/virus-data');
  if (!$('chart-versions')) return;
  drawBars($('chart-versions'), versions, {
    label: v => v.Version || 'none reported', value: v => v.Computers,
    cls: v => v.Newest ? 'good' : v.Version ? 'warn' : 'muted',
    title: v => `${v.Version || 'none reported'}: ${v.Computers} computers in ${v.Groups} groups` + (v.FirstSeen ? `, first seen ${v.FirstSeen}` : ''),
  });
}

// ---- outbreaks -------------------------------------------------------------------------------

async function loadOutbreak(arg) {
  const name = arg ? decodeURIComponent(arg) : '';
  const form = $('outbreak-form');
  form.virus.value = name;
  form.addEventListener('submit', (ev) => {
    ev.preventDefault();
    location.hash = '#/outbreak/' + encodeURIComponent(form.virus.value.trim());
  });
  const [current, top] = await Promise.all([api('/api/outbreaks'), api('/api/charts/top?days=90&count=100')]);
  showBanner(current);
  $('outbreak-rule').textContent = `An outbreak is a virus reported by ${current.Rule.Computers} computers or more within ${current.Rule.Minutes} minutes.`;
  $('outbreak-active').replaceChildren(...(current.Outbreaks.length ? current.Outbreaks.map(o => el('li', {},
    el('a', { href: '#/outbreak/' + encodeURIComponent(o.VirusName) }, o.VirusName), ` on ${o.Computers} computers since ${o.FirstSeen}`))
    : [el('li', { class: 'unknown' }, 'No outbreak under way.')]));
  $('outbreak-viruses').replaceChildren(...top.Viruses.map(v => el('option', { value: v.VirusName })));
  if (!name) { $('outbreak-result').hidden = true; return; }
  const o = await api('/api/outbreaks/virus?name=' + encodeURIComponent(name));
  $('outbreak-result').hidden = false;
  $('outbreak-title').textContent = `${o.VirusName}: ${o.Computers.length} computer${o.Computers.length === 1 ? '' : 's'}`;
  drawSpread($('outbreak-spread'), o.Computers);
  const cleaned = v => v === null ? el('span', { class: 'unknown' }, 'unknown') : el('span', { class: v ? 'yes' : 'no' }, v ? 'yes' : 'no');
  $('outbreak-table').replaceChildren(
    el('tr', {}, ...['Computer', 'Group', 'First seen', 'Last seen', 'Detections', 'Cleaned', 'Outstanding'].map(t => el('th', {}, t))),
    ...o.Computers.map(c => el('tr', { 'data-computer': c.ComputerID },
      el('td', {}, el('a', { href: '#/computer/' + c.ComputerID }, c.ComputerName)), el('td', {}, groupName(c.GroupID, c.GroupName)),
      el('td', {}, c.FirstSeen), el('td', {}, c.LastSeen), el('td', {}, c.Detections), el('td', {}, cleaned(c.Cleaned)),
      el('td', {}, c.Outstanding))));
}

// How the virus spread: computers reached over time, a step at each first detection.
function drawSpread(box, computers) {
  if (!computers.length) { box.replaceChildren(el('p', { class: 'unknown' }, 'No computer reported it.')); return; }
  const W = 900, H = 140, L = 40, B = 20, T = 8;
  const times = computers.map(c => Date.parse(c.FirstSeen.replace(' ', 'T')));
  const t0 = Math.min(...times), t1 = Math.max(t0 + 60000, ...times);
  const x = t => L + (W - L - 10) * (t - t0) / (t1 - t0);
  const y = n => H - B - (H - B - T) * n / computers.length;
  const svg = svgEl('svg', { viewBox: `0 0 ${W} ${H}`, class: 'spread' });
  let d = `M ${x(times[0])} ${y(0)}`;
  times.forEach((t, i) => { d += ` H ${x(t)} V ${y(i + 1)}`; });
  svg.append(svgEl('path', { d, class: 'line' }));
  times.forEach((t, i) => svg.append(svgTitle(svgEl('circle', { cx: x(t), cy: y(i + 1), r: 3, class: 'virus', 'data-computer': computers[i].ComputerID }),
    `${computers[i].ComputerName} at ${computers[i].FirstSeen}`)));
  svg.append(svgEl('text', { x: 2, y: y(computers.length) + 3 }, computers.length), svgEl('text', { x: 2, y: y(0) + 3 }, 0),
    svgEl('text', { x: L, y: H - 4 }, computers[0].FirstSeen), svgEl('text', { x: W - 120, y: H - 4 }, computers[computers.length - 1].FirstSeen));
  box.replaceChildren(svg);
}

function showBanner(outbreaks) {
  const b = $('outbreak-banner');
  if (!outbreaks || !outbreaks.Outbreaks.length) { b.hidden = true; b.replaceChildren(); return; }
  b.replaceChildren(el('strong', {}, 'Outbreak: '), ...outbreaks.Outbreaks.flatMap((o, i) => [i ? ', ' : '',
    el('a', { href: '#/outbreak/' + encodeURIComponent(o.VirusName), 'data-virus': o.VirusName }, o.VirusName), ` on ${o.Computers} computers`]),
    ` (${outbreaks.Rule.Computers} or more within ${outbreaks.Rule.Minutes} minutes)`);
  b.hidden = false;
}

async function pollOutbreaks() {
  if (state.user) {
    try { showBanner(await api('/api/outbreaks')); } catch (e) { /* the banner waits for the next look */ }
  }
  setTimeout(pollOutbreaks, OUTBREAK_POLL_MS);
}

// ---- hooks into the console's views ----------------------------------------------------------

function exportLink(href, file) {
  return el('a', { href, download: file, class: 'export' }, 'Export CSV');
}

(function hook() {
  const overview = views.overview.load;
  views.overview.load = async (arg) => { await overview(arg); await loadCharts(); };
  const computers = views.computers.load;
  views.computers.load = async (arg) => { $('computer-count').after(exportLink('/api/export/computers.csv', 'computers.csv')); await computers(arg); };
  const alerts = views.alerts.load;
  views.alerts.load = async (arg) => { $('alert-count').after(exportLink('/api/export/alerts.csv', 'alerts.csv')); await alerts(arg); };
  views.outbreak = { template: 'outbreak-view', clocks: [1], load: loadOutbreak };
  // The first look as soon as someone is logged in, then every OUTBREAK_POLL_MS and at every
  // change of page (the server answers these from a look a few seconds old).
  setTimeout(pollOutbreaks, 500);
  window.addEventListener('hashchange', () => { if (state.user) api('/api/outbreaks').then(showBanner).catch(() => {}); });
})();
