// Board page, spectrum part: each channel's power spectrum (1-40 Hz, log power), its mu and beta
// band power, and the session's mu power over the motor channels per cue.
const COLOURS = ['#1d4f9c', '#c0392b', '#16752f', '#a05a00', '#7d3c98', '#117a8b', '#555f6b', '#b7950b'];
boardState.spectra = 0;

function spectrumAxes(g, w, h, pad, low, high, x) {
  g.fillStyle = '#67717d';
  g.strokeStyle = '#e6eaef';
  g.font = '11px system-ui, sans-serif';
  g.textAlign = 'center';
  for (let f = 5; f <= 40; f += 5) {
    g.fillText(`${f}`, x(f), h - 4);
    g.beginPath(); g.moveTo(x(f) + 0.5, pad.top); g.lineTo(x(f) + 0.5, h - pad.bottom); g.stroke();
  }
  g.textAlign = 'left';
  g.fillText('Hz', w - pad.right + 6, h - 4);
  g.textAlign = 'center';
  g.textAlign = 'right';
  for (let d = Math.ceil(low); d <= Math.floor(high); d++) {
    const y = pad.top + ((high - d) / (high - low)) * (h - pad.top - pad.bottom);
    g.fillText(`10${d < 0 ? '⁻' : ''}${String(Math.abs(d)).split('').map((c) => '⁰¹²³⁴⁵⁶⁷⁸⁹'[c]).join('')}`, pad.left - 4, y + 4);
    g.beginPath(); g.moveTo(pad.left, y + 0.5); g.lineTo(w - pad.right, y + 0.5); g.stroke();
  }
  g.save(); g.translate(11, h / 2); g.rotate(-Math.PI / 2); g.textAlign = 'center'; g.fillText('µV²/Hz', 0, 0); g.restore();
}

function drawSpectrum(spectrum, names) {
  const canvas = document.getElementById('spectrum');
  const g = canvas.getContext('2d'), w = canvas.width, h = canvas.height;
  const pad = {left: 52, right: 30, top: 8, bottom: 20};
  g.clearRect(0, 0, w, h);
  if (!spectrum) return;
  const hz = spectrum.hz;
  const logs = spectrum.psd.map((row) => row.map((p) => Math.log10(Math.max(p, 1e-6))));
  const all = logs.flat();
  const low = Math.floor(Math.min(...all)), high = Math.max(low + 1, Math.ceil(Math.max(...all)));
  const x = (f) => pad.left + ((f - hz[0]) / (hz[hz.length - 1] - hz[0])) * (w - pad.left - pad.right);
  const y = (v) => pad.top + ((high - v) / (high - low)) * (h - pad.top - pad.bottom);
  const {mu, beta} = spectrum.bands;
  g.fillStyle = 'rgba(45, 108, 214, 0.08)';
  g.fillRect(x(mu[0]), pad.top, x(mu[1]) - x(mu[0]), h - pad.top - pad.bottom);
  g.fillStyle = 'rgba(214, 120, 45, 0.08)';
  g.fillRect(x(beta[0]), pad.top, x(beta[1]) - x(beta[0]), h - pad.top - pad.bottom);
  spectrumAxes(g, w, h, pad, low, high, x);
  logs.forEach((row, k) => {
    g.strokeStyle = COLOURS[k % COLOURS.length];
    g.beginPath();
    row.forEach((v, i) => (i ? g.lineTo(x(hz[i]), y(v)) : g.moveTo(x(hz[i]), y(v))));
    g.stroke();
  });
}

function showBands(spectrum, names) {
  if (spectrum) {
    const {mu, beta} = spectrum.bands;
    document.getElementById('mu-head').textContent = `Mu ${mu[0]}–${mu[1]} Hz µV²`;
    document.getElementById('beta-head').textContent = `Beta ${beta[0]}–${beta[1]} Hz µV²`;
  }
  const rows = document.querySelector('#bands tbody');
  rows.innerHTML = spectrum ? names.map((name, k) => `<tr data-channel="${escapeHtml(name)}">
    <td class="text"><span class="swatch" style="background:${COLOURS[k % COLOURS.length]}"></span>${escapeHtml(name)}</td>
    <td>${spectrum.mu[k].toFixed(2)}</td><td>${spectrum.beta[k].toFixed(2)}</td></tr>`).join('') : '';
}

function showCues(event) {
  const motor = event.motor || [];
  document.querySelector('#cues thead').innerHTML = `<tr><th class="text">Cue</th>${motor.map((m) =>
    `<th>${escapeHtml(m)} mu µV²</th>`).join('')}${motor.length === 2 ? `<th>${motor[0]} / ${motor[1]}</th>` : ''}
    <th>Seconds</th></tr>`;
  const cues = event.cues || [];
  document.querySelector('#cues tbody').innerHTML = cues.map((c) => `<tr class="${c.cue === event.cue ? 'current' : ''}">
    <td class="text">${escapeHtml(c.cue)}${c.cue === event.cue ? ' (now)' : ''}</td>
    ${motor.map((m) => `<td>${c[m].toFixed(2)}</td>`).join('')}
    ${motor.length === 2 ? `<td>${(c[motor[0]] / c[motor[1]]).toFixed(2)}</td>` : ''}<td>${c.seconds.toFixed(1)}</td></tr>`).join('');
  document.getElementById('cues-note').textContent = cues.length ? ''
    : motor.length ? 'No session recorded yet.' : 'The montage has no motor channels to follow.';
  boardState.cues = cues;
}

function showSpectrum(event) {
  const box = document.getElementById('spectrum-box');
  if (!event.streaming || !boardState.connected) {
    document.getElementById('spectrum-state').textContent = event.why || 'Not connected';
    box.classList.add('stale');
    drawSpectrum(null);
    showBands(null);
    return;
  }
  const names = event.channels.map((c) => c.name);
  box.classList.remove('stale');
  drawSpectrum(event.spectrum, names);
  showBands(event.spectrum, names);
  showCues(event);
  boardState.spectra += 1;
}

Studio.on('channels', showSpectrum);
Studio.on('board', (event) => { if (!event.connected) showSpectrum({streaming: false}); });
