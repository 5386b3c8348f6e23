// Subject screen: fixation cross, then the cue as an arrow or a word with a countdown, then a break.
const SHOWN = {left: ['←', 'Left hand'], right: ['→', 'Right hand'], blinking: ['◉', 'Blink'],
               jaw: ['▬', 'Clench your jaw'], relax: ['○', 'Relax']};
window.cuesShown = [];
window.wordsShown = [];   // every word shown, in order
let timer = null;

function countdown(seconds, speed) {
  clearInterval(timer);
  const count = document.getElementById('count');
  const ends = Date.now() + (seconds / speed) * 1000;
  const tick = () => {
    const left = Math.max(0, (ends - Date.now()) / 1000 * speed);
    count.textContent = left > 0 ? Math.ceil(left) : '';
    if (left <= 0) clearInterval(timer);
  };
  tick();
  timer = setInterval(tick, 100);
}

function show(cue, word) {
  if (word) window.wordsShown.push(word);
  document.getElementById('cue').textContent = cue;
  document.getElementById('word').textContent = word;
}

// A screen says a session is over only for a session it showed: one opened later (the newest
// events are replayed to it) waits for the next session instead of thanking the subject.
let shownSession = null;
Studio.listen((e) => {
  const speed = e.speed || 1;   // the emulator streams faster than real time
  if (e.topic !== 'trial') return;
  if (['fixation', 'cue', 'break'].includes(e.phase)) shownSession = e.session;
  if (e.phase !== 'cue' && e.phase !== 'break') { clearInterval(timer); document.getElementById('count').textContent = ''; }
  if (e.phase === 'fixation') show('+', '');
  else if (e.phase === 'cue') {
    const [cue, word] = SHOWN[e.label] || ['•', e.label];
    show(cue, word);
    window.cuesShown.push(e.label);
    countdown(e.seconds, speed);
  } else if (e.phase === 'break') { show('', 'Rest'); countdown(e.seconds, speed); }
  else if (e.phase === 'paused') show('‖', 'Paused');
  else if (e.phase === 'resumed' || e.phase === 'waiting') show('+', 'Get ready');
  else if (e.phase === 'done') {
    if (shownSession !== null && e.session === shownSession) show('', 'Session over — thank you');
    else show('+', 'Waiting for the session');
  }
});
document.body.onclick = () => {
  if (!document.fullscreenElement) document.documentElement.requestFullscreen().catch(() => {});
  document.getElementById('hint').style.display = 'none';
};
