// Subject screen: fixation cross, then the cue as an arrow or a word with a countdown, then a break.
const SHOWN = {left: ['←', 'Left hand'], right: ['→', 'Right hand'], blinking: ['◉', 'Blink'],
               jaw: ['▬', 'Clench your jaw'], relax: ['○', 'Relax']};
window.cuesShown = [];
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
  document.getElementById('cue').textContent = cue;
  document.getElementById('word').textContent = word;
}

Studio.listen((e) => {
  const speed = e.speed || 1;   // the emulator streams faster than real time
  if (e.topic !== 'trial') return;
  if (e.phase === 'fixation') { show('+', ''); document.getElementById('count').textContent = ''; }
  else if (e.phase === 'cue') {
    const [cue, word] = SHOWN[e.label] || ['•', e.label];
    show(cue, word);
    window.cuesShown.push(e.label);
    countdown(e.seconds, speed);
  } else if (e.phase === 'break') { show('', 'Rest'); countdown(e.seconds, speed); }
  else if (e.phase === 'done') { show('', 'Session over — thank you'); clearInterval(timer); }
});
document.body.onclick = () => {
  if (!document.fullscreenElement) document.documentElement.requestFullscreen().catch(() => {});
  document.getElementById('hint').style.display = 'none';
};
