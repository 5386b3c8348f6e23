// Session page: the RunProfile settings, and the operator's view of the running session.
const ACTIONS = ['Right_Hand', 'Left_Hand', 'Blinking', 'Jaw_Clenching', 'Relax'];
window.sessionState = {state: 'idle'};
let paused = false;

function fillSettings(profile) {
  for (const key of ['repetitions', 'record_duration', 'break_duration']) document.getElementById(key).value = profile[key];
  const rows = document.querySelector('#actions tbody');
  rows.innerHTML = '';
  const defaults = {Right_Hand: 'Imagine or perform right hand movement', Left_Hand: 'Imagine or perform left hand movement',
    Blinking: 'Blink your eyes at a comfortable pace', Jaw_Clenching: 'Clench your jaw with moderate force',
    Relax: 'Relax your body and mind, do nothing'};
  for (const name of ACTIONS) {
    const chosen = name in (profile.actions || {});
    const text = chosen ? profile.actions[name] : defaults[name];
    rows.insertAdjacentHTML('beforeend', `<tr><td><input type="checkbox" data-action="${name}" ${chosen ? 'checked' : ''}></td>
      <td class="text">${name}</td><td class="text"><input type="text" size="45" data-text="${name}" value="${escapeHtml(text)}"></td></tr>`);
  }
}

function settings() {
  const actions = {};
  document.querySelectorAll('[data-action]').forEach((box) => {
    if (box.checked) actions[box.dataset.action] = document.querySelector(`[data-text="${box.dataset.action}"]`).value;
  });
  return {repetitions: Number(document.getElementById('repetitions').value),
          record_duration: Number(document.getElementById('record_duration').value),
          break_duration: Number(document.getElementById('break_duration').value), actions};
}

Studio.on('session', (e) => {
  window.sessionState = e;
  const progress = document.getElementById('progress');
  if (e.state === 'running') progress.textContent = `Trial ${e.n} of ${e.total}` + (e.paused ? ' — paused' : '');
  else if (e.state === 'done') { progress.textContent = 'Session finished.'; Studio.say(e.message, 'info'); }
  else if (e.state === 'failed') { progress.textContent = 'Session stopped by a failure.'; Studio.say(e.message, 'error'); }
  paused = !!e.paused;
  document.getElementById('pause').textContent = paused ? 'Resume' : 'Pause';
});
Studio.on('trial', (e) => {
  const line = document.getElementById('recording');
  if (e.phase === 'cue') line.textContent = `Recording: ${e.label} (${e.action}) — ${e.instruction}`;
  else if (e.phase === 'fixation') line.textContent = `Next: ${e.label} — fixation`;
  else if (e.phase === 'break') line.textContent = 'Break';
  else line.textContent = '';
});

document.getElementById('save').onclick = () =>
  Studio.act('/api/session/profile', settings(), (r) => `Settings saved for session ${r.saved_as}.`);
document.getElementById('load').onclick = async () => {
  const profile = await Studio.act('/api/session/load', {session: Number(document.getElementById('load-number').value)},
                                   () => 'Settings loaded.');
  if (profile) fillSettings(profile);
};
document.getElementById('start').onclick = () => Studio.act('/api/session/start', settings(), () => 'Session started.');
document.getElementById('pause').onclick = () => Studio.act('/api/session/pause', {paused: !paused});
document.getElementById('skip').onclick = () => Studio.act('/api/session/skip', {}, () => 'The next trial will be skipped.');
document.getElementById('stop-session').onclick = () =>
  Studio.act('/api/session/stop', {}, () => 'Stopping after the current trial; what was recorded is kept.');
document.getElementById('subject').onclick = () => window.open('/subject', 'corvane-subject', 'width=900,height=600');
Studio.start('session').then(() => Studio.get('/api/session/profile')).then(fillSettings);
