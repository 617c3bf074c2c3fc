// The audit trail page: who changed what, from where and how it ended, newest first, with
// filters, paging and the CSV export of what the filters select.
'use strict';

let auditOffset = 0;

function auditFilters() {
  const f = $('audit-filters');
  const q = new URLSearchParams();
  for (const k of ['account', 'action', 'since', 'until']) if (f[k].value.trim()) q.set(k, f[k].value.trim());
  return q;
}

async function refreshAudit() {
  const q = auditFilters();
  $('audit-csv').href = '/api/audit.csv?' + q.toString();
  q.set('offset', auditOffset);
  q.set('count', PAGE);
  const r = await api('/api/audit?' + q.toString());
  $('audit-count').textContent = `(${r.total})`;
  $('audit-page').textContent = r.total ? `${r.offset + 1}–${r.offset + r.rows.length} of ${r.total}` : 'no entries';
  $('audit-prev').disabled = auditOffset === 0;
  $('audit-next').disabled = r.offset + r.rows.length >= r.total;
  const head = el('tr', {}, ...['Time (UTC)', 'Account', 'From', 'Action', 'Target', 'Detail', 'Outcome'].map(t => el('th', {}, t)));
  $('audit-table').replaceChildren(head, ...r.rows.map(a => el('tr', { 'data-audit': a.AuditID },
    el('td', {}, a.EntryTime),
    el('td', {}, a.Account),
    el('td', {}, `${a.Source} (${a.Console})`),
    el('td', {}, a.Action),
    el('td', {}, a.Target),
    el('td', {}, a.Detail),
    el('td', {}, el('span', { class: 'badge ' + (a.Outcome === 'done' ? 'done' : 'error') }, a.Outcome),
      a.OutcomeText ? ' ' + a.OutcomeText : ''))));
}

async function loadAudit() {
  auditOffset = 0;
  const f = $('audit-filters');
  f.addEventListener('change', () => { auditOffset = 0; refreshAudit().catch(report); });
  f.addEventListener('submit', ev => { ev.preventDefault(); auditOffset = 0; refreshAudit().catch(report); });
  $('audit-prev').addEventListener('click', () => { auditOffset = Math.max(0, auditOffset - PAGE); refreshAudit().catch(report); });
  $('audit-next').addEventListener('click', () => { auditOffset += PAGE; refreshAudit().catch(report); });
  await refreshAudit();
}

views.audit = { template: 'audit-view', clocks: [0, 1, 2], load: loadAudit, refresh: refreshAudit };
