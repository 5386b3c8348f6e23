// Live page: each window's decision and confidence, the commands sent, the cue and the signal gate.
// Every event names its run; a newer run clears the page, events of an older one are dropped.
window.liveState = {windows: 0, state: 'idle', run: 0, agreed: 0, judged: 0};
let currentCue = null, requesting = false;
const byId = (id) => document.getElementById(id);
const LIVE = new Set(['starting', 'running']);
const STATE_TEXT = {idle: 'Not running', starting: 'Starting…', running: 'Running', stopped: 'Stopped',
                    ended: 'Ended', error: 'Stopped on an error'};

// Whether an event of run `run` belongs on the page (a newer run first clears it).
function adopt(run) {
  if (run === undefined || run === window.liveState.run) return true;
  if (run < window.liveState.run) return false;
  window.liveState = {windows: 0, state: window.liveState.state, run, agreed: 0, judged: 0};
  for (const id of ['latest', 'gate', 'agreement']) byId(id).textContent = '—';
  byId('count').textContent = '0';
  for (const id of ['history', 'notice', 'agreement-note']) byId(id).textContent = '';
  byId('gate').className = 'muted';
  document.querySelector('#windows tbody').innerHTML = '';
  return true;
}

function showLegend(pairs) {
  byId('legend').innerHTML = pairs.map(([name, letter]) =>
    `<span class="letter">${escapeHtml(letter)}</span>&nbsp;${escapeHtml(name)}`).join(' · ');
}

// The run's state: Start is disabled while a run is live (a stopped run still ending counts), and
// the "Now" figures are greyed and labelled once nothing is decoded any more.
function showState(e) {
  const state = window.liveState.state, live = LIVE.has(state) || (state === 'stopped' && e.ending);
  byId('start-live').disabled = requesting || live;
  const label = byId('live-state');
  const stopped = state === 'stopped' || (state === 'ended' && window.liveState.stopped);
  label.textContent = state === 'stopped' && !e.acknowledged ? 'Stopped — S was not acknowledged'
                      : stopped ? 'Stopped' : STATE_TEXT[state] || state;
  label.className = 'live-state ' + (LIVE.has(state) ? 'on' : state === 'idle' ? '' : 'off');
  const over = !LIVE.has(state) && state !== 'idle';
  byId('now').classList.toggle('stopped', over);
  byId('stopped-note').textContent = over ? 'Not decoding: the figures below are from the run that ended.' : '';
  if (over) { byId('gate').textContent = 'not checked (not running)'; byId('gate').className = 'muted'; }
}

Studio.on('live', (e) => {
  if (!adopt(e.run)) return;
  window.liveState.state = e.state;
  if (e.state === 'stopped') window.liveState.stopped = true;
  if (e.state === 'starting') window.liveState.stopped = false;
  if (e.controller) byId('live-controller').textContent = e.controller;
  byId('standin').textContent = e.standin ? '(a stand-in controller the studio started, not a real actuator)' : '';
  if (e.simulator) { const link = byId('live-simulator'); link.textContent = e.simulator; link.href = e.simulator; }
  if (e.cues_known === false) byId('agreement-note').textContent = 'not known: with a real board the studio does not know the cues';
  if (e.state === 'running' && byId('gate').textContent === '—') { byId('gate').textContent = 'clean'; byId('gate').className = 'good'; }
  if (e.error) Studio.say(e.error, 'error', e.details);
  if (e.state === 'ended' && e.code && !window.liveState.stopped) {
    Studio.say(`Live decoding ended unexpectedly (exit code ${e.code}); the actuator was sent S.`, 'error', e.text);
  }
  showState(e);
});
Studio.on('gate', (e) => {
  if (!adopt(e.run) || !LIVE.has(window.liveState.state)) return;
  byId('gate').textContent = e.ok ? 'clean' : e.text;
  byId('gate').className = e.ok ? 'good' : 'bad';
});
Studio.on('live_command', (e) => {
  if (adopt(e.run)) byId('history').textContent = (e.history || [e.command]).join(' → ');
});
Studio.on('live_notice', (e) => { if (adopt(e.run)) byId('notice').textContent = e.text; });
Studio.on('live_classes', (e) => { if (adopt(e.run)) showLegend(e.commands); });
Studio.on('cue', (e) => { currentCue = e.label; byId('cue').textContent = e.label || '—'; });
Studio.on('live_window', (e) => {
  if (!adopt(e.run)) return;
  Object.assign(window.liveState, {windows: e.count, agreed: e.agreed, judged: e.judged});
  byId('count').textContent = e.count;
  const confidence = e.confidence == null ? '—' : Number(e.confidence).toFixed(2);
  byId('latest').textContent = `${e.command} (${e.decision || 'no decision'}, ${confidence})`;
  if (e.judged) {
    byId('agreement').textContent = `${Math.round(100 * e.agreed / e.judged)} %`;
    byId('agreement-note').textContent = `${e.agreed} of ${e.judged} windows inside one cue (those spanning a change are not counted)`;
  }
  const agrees = e.agrees == null ? '—' : e.agrees ? 'yes' : 'no';
  const row = `<tr data-run="${e.run}"><td>${e.index}</td><td>${escapeHtml(e.command)}</td>` +
              `<td class="text">${escapeHtml(e.decision || '—')}</td><td>${confidence}</td>` +
              `<td class="text">${escapeHtml(e.cue || currentCue || '—')}</td><td class="text">${agrees}</td></tr>`;
  const body = document.querySelector('#windows tbody');
  body.insertAdjacentHTML('afterbegin', row);
  while (body.rows.length > 100) body.deleteRow(-1);
});
byId('start-live').onclick = async () => {
  requesting = true;
  showState({});
  window.liveStarted = await Studio.actStarting('/api/live/start', {
    actuator_host: byId('actuator').value, simulator_url: byId('simulator').value,
  }, (r) => `Live decoding started; commands go to ${r.controller}.`);
  requesting = false;
  showState(window.liveState.lastEvent || {});
};
Studio.on('live', (e) => { window.liveState.lastEvent = e; });
Studio.start('live').then((status) => {
  const live = status.live || {};
  byId('actuator').placeholder = live.actuator_placeholder || '';
  byId('simulator').placeholder = live.simulator_placeholder || '';
  if (live.classes && byId('legend').textContent === '—') showLegend(live.classes);
  if (live.running && !LIVE.has(window.liveState.state)) byId('start-live').disabled = true;
});
