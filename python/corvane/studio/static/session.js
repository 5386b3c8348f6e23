// Session page: the RunProfile settings, and the operator's view of the running session.
const ACTIONS = ['Right_Hand', 'Left_Hand', 'Blinking', 'Jaw_Clenching', 'Relax'];
window.sessionState = {state: 'idle'};
let paused = false, timer = null, fixation = 1, boardState = {};

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
          break_duration: Number(document.getElementById('break_duration').value), actions,
          subject: document.getElementById('subject-name').value.trim()};
}

// The session's length before it starts: trials, and minutes in real time and at the studio's speed.
function studioSpeed() {
  const status = Studio.status || {};
  return boardState.emulator ? (status.speed || 1) : 1;
}
function trialSeconds(s) { return fixation + s.record_duration + s.break_duration; }
function minutes(seconds) { return seconds < 90 ? `${seconds.toFixed(0)} s` : `${(seconds / 60).toFixed(1)} min`; }
function showLength() {
  const s = settings();
  const trials = s.repetitions * Object.keys(s.actions).length;
  const real = trials * trialSeconds(s), speed = studioSpeed();
  window.sessionLength = {trials, seconds: real / speed};
  document.getElementById('length').textContent = `This session: ${trials} trials, about ${minutes(real)}` +
    (speed !== 1 ? ` in real time, ${minutes(real / speed)} at the studio's ${speed}× speed.` : '.');
}

function lock(running) {
  document.getElementById('settings').disabled = running;
  document.getElementById('start').disabled = running;
  for (const id of ['pause', 'skip', 'stop-session']) document.getElementById(id).disabled = !running;
}

// The recording indicator: what the subject is doing now, the trial's time left, the whole's progress.
function indicator(kind, state, trial, label, left) {
  document.getElementById('rec').className = 'rec ' + kind;
  document.getElementById('rec-state').textContent = state;
  document.getElementById('rec-trial').textContent = trial || '';
  document.getElementById('rec-label').textContent = label || '';
  document.getElementById('rec-left').textContent = left || '';
}
function countdown(e) {
  clearInterval(timer);
  const speed = e.speed || 1, ends = Date.now() + (e.seconds / speed) * 1000;
  const tick = () => {
    const left = Math.max(0, (ends - Date.now()) / 1000);
    document.getElementById('rec-left').textContent = `${(left * speed).toFixed(1)} s left in the trial`;
    if (left <= 0) clearInterval(timer);
  };
  tick();
  timer = setInterval(tick, 100);
}

Studio.on('session', (e) => {
  window.sessionState = e;
  const running = e.state === 'starting' || e.state === 'running';
  lock(running);
  const done = (e.recorded || 0) + (e.skipped || 0);
  document.getElementById('session-bar').style.width = `${e.total ? (100 * done) / e.total : 0}%`;
  const progress = document.getElementById('progress');
  if (running) {
    const left = e.total && window.sessionLength ? ` — about ${minutes((e.total - done) * window.sessionLength.seconds / Math.max(1, e.total))} left` : '';
    progress.textContent = e.state === 'starting' ? 'Starting the session…'
      : `Trial ${e.n} of ${e.total}, ${done} done${left}` + (e.paused ? (e.pausing ? ' — pausing after this trial' : ' — paused') : '');
  } else if (e.state === 'done') { progress.textContent = 'Session finished.'; Studio.say(e.message, 'info', e.details); }
  else if (e.state === 'failed') { progress.textContent = 'Session stopped by a failure.'; Studio.say(e.message, 'error', e.details); }
  if (!running) indicator('idle', 'Not recording');
  else if (e.paused && !e.pausing) indicator('paused', 'Paused', `Trial ${e.n} of ${e.total}`);
  paused = !!e.paused;
  document.getElementById('pause').textContent = paused ? 'Resume' : 'Pause';
  if (e.subject && !running) document.getElementById('subject-name').value = e.subject;
});
Studio.on('trial', (e) => {
  window.trialState = e;
  const line = document.getElementById('recording');
  const trial = e.n ? `Trial ${e.n} of ${e.total}` : '';
  clearInterval(timer);
  if (e.phase === 'cue') {
    line.textContent = `${e.instruction}`;
    indicator('recording', 'REC', trial, `${e.label} (${e.action})`);
    countdown(e);
  } else if (e.phase === 'fixation') { line.textContent = ''; indicator('between', 'Get ready', trial, `next: ${e.label}`); }
  else if (e.phase === 'break') { line.textContent = ''; indicator('between', 'Break', trial, 'saved'); }
  else if (e.phase === 'paused') {
    line.textContent = '';
    indicator('paused', 'Paused', trial, 'the next trial waits for Resume');
    if (window.sessionState.state === 'running') Studio.say('Paused: the next trial waits for Resume.', 'info');
  }
  else if (e.phase === 'resumed' || e.phase === 'waiting') { line.textContent = ''; indicator('between', 'Get ready', trial); }
  else { line.textContent = ''; }
});
Studio.on('board', (e) => { boardState = e; showLength(); });

document.getElementById('save').onclick = () =>
  Studio.act('/api/session/profile', settings(), (r) => `Settings saved for session ${r.saved_as}.`);
document.getElementById('load').onclick = async () => {
  const profile = await Studio.act('/api/session/load', {session: Number(document.getElementById('load-number').value)},
                                   () => 'Settings loaded.');
  if (profile) { fillSettings(profile); showLength(); }
};
document.getElementById('start').onclick = () => Studio.act('/api/session/start', settings(), () => 'Session started.');
document.getElementById('pause').onclick = () => Studio.act('/api/session/pause', {paused: !paused},
  (r) => r.after_trial ? 'Pausing once the trial being recorded ends.' : (r.paused ? 'Paused.' : 'Resumed.'));
document.getElementById('skip').onclick = () => Studio.act('/api/session/skip', {}, () => 'The next trial will be skipped.');
document.getElementById('stop-session').onclick = () =>
  Studio.act('/api/session/stop', {}, () => 'Stopping after the current trial; what was recorded is kept.');
document.getElementById('subject').onclick = () => window.open('/subject', 'corvane-subject', 'width=900,height=600');
document.getElementById('settings').addEventListener('input', showLength);
document.getElementById('settings').addEventListener('change', showLength);
Studio.start('session').then((status) => {
  boardState = status.board || {};
  return Studio.get('/api/session/profile');
}).then((profile) => {
  fixation = profile.fixation || 1;
  fillSettings(profile);
  if (profile.subject && !document.getElementById('subject-name').value) document.getElementById('subject-name').value = profile.subject;
  showLength();
}).catch((error) => Studio.say(error.message, 'error', error.details));
