// The progress page: how far the service's long work has got. Remote installations, each
// computer stage by stage, read again whenever the computer-state clock moves (and every second
// while an attempt is under way); the network search live from its server-sent events.
'use strict';

(function () {
  const STEPS = ['queued', 'connecting', 'copying', 'running', 'done'];
  const FOLLOW_MS = 1000;

  const css = document.createElement('link');
  css.rel = 'stylesheet';
  css.href = '/progress.css';
  document.head.append(css);

  const template = document.createElement('template');
  template.id = 'progress-view';
  template.innerHTML = `
    <h1>Progress</h1>
    <section class="card">
      <h2>Remote installations <span class="count" id="progress-install-count"></span></h2>
      <div class="progress-summary">
        <progress id="progress-install-bar" max="1" value="0"></progress>
        <span id="progress-install-text" class="unknown">No installation in the last 24 hours.</span>
      </div>
      <div class="progress-counts" id="progress-install-counts"></div>
      <table class="list" id="progress-installs"></table>
    </section>
    <section class="card">
      <h2>Network search</h2>
      <div class="progress-summary">
        <progress id="progress-search-bar" max="1" value="0"></progress>
        <span id="progress-search-text" class="unknown">No search is running.</span>
      </div>
    </section>`;
  document.body.append(template);

  let events = null;
  let follow = null;

  // One computer's steps: those reached, the current one, and the outcome.
  function steps(c) {
    const reached = new Set(c.Stages.map(s => s.Stage));
    const list = el('ol', { class: 'steps' });
    for (const name of STEPS) {
      let label = name, cls = reached.has(name) ? 'reached' : '';
      if (name === 'done' && c.Stage === 'failed') { label = 'failed'; cls = 'failed'; }
      else if (name === 'done' && c.Stage === 'stopped') { label = 'stopped'; cls = 'interrupted'; }
      else if (name === c.Stage) cls = c.Interrupted ? 'interrupted' : name === 'done' ? 'done' : 'current';
      if (c.Interrupted && name === c.Stage) label = name + ' (interrupted)';
      list.append(el('li', { class: cls, 'data-step': name }, label));
    }
    return list;
  }

  function time(text) { return text ? text.replace(/\.\d+$/, '') : ''; }

  async function loadInstalls() {
    const p = await api('/api/progress/installs?hours=24');
    const table = $('progress-installs');
    if (!table) return;
    const underWay = p.total - p.finished;
    $('progress-install-count').textContent = p.total ? `(${p.total.toLocaleString()})` : '';
    $('progress-install-bar').max = Math.max(1, p.total);
    $('progress-install-bar').value = p.finished;
    const failed = p.computers.filter(c => c.Failed).length;
    $('progress-install-text').className = p.total ? '' : 'unknown';
    $('progress-install-text').textContent = !p.total ? 'No installation in the last 24 hours.'
      : `${p.finished} of ${p.total} finished` + (failed ? `, ${failed} failed` : '') + (underWay ? `, ${underWay} under way` : '');
    $('progress-install-counts').replaceChildren(...Object.entries(p.counts).map(([k, n]) => el('span', { 'data-count': k }, k + ' ', el('b', {}, n))));
    table.replaceChildren(
      el('tr', {}, el('th', {}, 'Computer'), el('th', {}, 'Stage'), el('th', {}, 'Since'), el('th', {}, 'Result')),
      ...p.computers.map(c => el('tr', { 'data-computer': c.ComputerID, 'data-stage': c.Interrupted ? 'interrupted' : c.Stage },
        el('td', {}, el('a', { href: '#/computer/' + c.ComputerID }, c.ComputerName)),
        el('td', {}, steps(c)),
        el('td', {}, time(c.Stages[c.Stages.length - 1].Time)),
        c.Failed ? el('td', { class: 'cause' }, c.Interrupted ? 'the service stopped under this attempt'
          : c.Result === null ? c.Cause : `${c.Cause} (${c.Result})`) : el('td', {}, c.Stage === 'done' ? 'installed' : ''))));
    // While an attempt is under way, look again shortly even if no clock has moved yet.
    clearTimeout(follow);
    if (underWay) {
      const v = state.view;
      follow = setTimeout(() => { if (state.view === v) loadInstalls().catch(report); }, FOLLOW_MS);
    }
  }

  // A stream holds one of the server's workers: none is left open behind another view.
  window.addEventListener('hashchange', () => {
    if (events && !(state.view && state.view.name === 'progress')) { events.close(); events = null; }
  });

  function watchSearch() {
    if (events) events.close();
    // The search view's own stream, if one was left open, is not needed while this one runs.
    if (typeof searchEvents !== 'undefined' && searchEvents) { searchEvents.close(); searchEvents = null; }
    events = new EventSource('/api/search/events');
    events.onmessage = (m) => {
      const bar = $('progress-search-bar');
      if (!bar) { events.close(); events = null; return; }
      const p = JSON.parse(m.data);
      const text = $('progress-search-text');
      text.className = p.running || p.event === 'finished' ? '' : 'unknown';
      if (p.running && !p.found) {
        bar.removeAttribute('value');  // under way, nothing found yet: an indeterminate bar
      } else {
        bar.max = Math.max(1, p.found);
        bar.value = p.running ? Math.min(p.known, p.found) : p.found ? p.found : 0;
      }
      text.textContent = p.running
        ? `Searching: ${p.found} computers found, ${p.known} queried, ${Math.max(0, p.found - p.known)} to go`
        : p.event === 'finished' ? `Search finished: ${p.found} computers found` : 'No search is running.';
    };
  }

  views.progress = {
    template: 'progress-view',
    clocks: [1],
    load: async () => { watchSearch(); await loadInstalls(); },
    refresh: () => loadInstalls(),
  };
})();
