// Live page: each window's decision and confidence, the commands sent, the cue and the signal gate.
window.liveState = {windows: 0, state: 'idle'};
let currentCue = null;
const commands = [];

Studio.on('live', (e) => {
  window.liveState.state = e.state;
  if (e.controller) document.getElementById('live-controller').textContent = e.controller;
  if (e.simulator) document.getElementById('live-simulator').textContent = e.simulator;
  if (e.state === 'running') { const gate = document.getElementById('gate'); gate.textContent = 'clean'; gate.className = 'good'; }
  if (e.state === 'error' || (e.state === 'ended' && e.code)) Studio.say(e.text || `Live decoding ended (${e.code}).`, 'error');
  if (e.state === 'stopped') Studio.say(e.acknowledged ? `Stopped: "S" acknowledged in ${(e.seconds * 1000).toFixed(0)} ms.`
                                                       : 'Stopped; the actuator did not acknowledge "S".', e.acknowledged ? 'info' : 'error');
});
Studio.on('gate', (e) => {
  const gate = document.getElementById('gate');
  gate.textContent = e.ok ? 'clean' : e.text;
  gate.className = e.ok ? 'good' : 'bad';
});
Studio.on('live_command', (e) => {
  commands.push(e.command);
  document.getElementById('history').textContent = commands.slice(-60).join(' → ');
});
Studio.on('live_notice', (e) => { document.getElementById('notice').textContent = e.text; });
Studio.on('cue', (e) => { currentCue = e.label; document.getElementById('cue').textContent = e.label || '—'; });
Studio.on('live_window', (e) => {
  window.liveState.windows += 1;
  document.getElementById('count').textContent = window.liveState.windows;
  const confidence = e.confidence == null ? '—' : Number(e.confidence).toFixed(2);
  document.getElementById('latest').textContent = `${e.command} (${e.decision || 'no decision'}, ${confidence})`;
  const row = `<tr><td>${e.index}</td><td>${escapeHtml(e.command)}</td><td class="text">${escapeHtml(e.decision || '—')}</td>` +
              `<td>${confidence}</td><td class="text">${escapeHtml(currentCue || '—')}</td></tr>`;
  const body = document.querySelector('#windows tbody');
  body.insertAdjacentHTML('afterbegin', row);
  while (body.rows.length > 100) body.deleteRow(-1);
});
document.getElementById('start-live').onclick = async () => {
  window.liveStarted = await Studio.actStarting('/api/live/start', {
    actuator_host: document.getElementById('actuator').value, simulator_url: document.getElementById('simulator').value,
  }, (r) => `Live decoding started; commands go to ${r.controller}.`);
};
Studio.start('live');
