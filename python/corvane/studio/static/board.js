// Board page: connect, then draw each wired channel's trace on one µV scale and its quality
// verdict. The server sends each plot column once, as the (min, max) of its samples; the page keeps
// the last `width` columns per channel and draws the newest at the right edge.
window.boardState = {traces: 0, verdicts: {}, updates: 0, scale: 20, connected: false, stale: 'Not connected'};
const SCALES_UV = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000];
const DIVISIONS = 4;          // per trace: two above its baseline, two below
const TRACE_HEIGHT = 80;
const VIEW_EVERY_MS = 5000;   // the server sends traces only while a board page says it is looking
const plot = {width: 0, head: -1, names: [], low: [], high: [], rate: null, seconds: 4};
const canvases = {};

function traceWidth() { return Math.max(50, Math.floor(document.getElementById('traces').clientWidth - 160)); }

function viewSettings() {
  return {width: traceWidth(), seconds: Number(document.getElementById('seconds').value),
          notch: Number(document.getElementById('notch').value)};
}

// A reminder (`still`) keeps the plot as it is, so two board tabs of different widths do not
// restart each other's plot; loading, resizing and the controls send this page's settings.
async function sendView(showErrors, still) {
  try { await Studio.post('/api/board/view', still ? {} : viewSettings()); } catch (error) {
    if (showErrors) Studio.say(error.message, 'error', error.details);
  }
}

function resetPlot(width) {
  plot.width = width;
  plot.head = -1;
  plot.low = plot.names.map(() => new Float32Array(width).fill(NaN));
  plot.high = plot.names.map(() => new Float32Array(width).fill(NaN));
}

function traceCanvas(name) {
  if (!canvases[name]) {
    const line = document.createElement('div');
    line.className = 'trace';
    line.innerHTML = `<span class="name">${escapeHtml(name)}</span><canvas height="${TRACE_HEIGHT}"></canvas>
      <span class="scale muted"></span>`;
    document.getElementById('traces').appendChild(line);
    canvases[name] = line.querySelector('canvas');
    canvases[name].dataset.channel = name;
  }
  return canvases[name];
}

function drawGrid(g, w, h) {
  g.strokeStyle = '#e6eaef';
  g.beginPath();
  for (let d = 1; d < DIVISIONS; d++) { g.moveTo(0, (d * h) / DIVISIONS + 0.5); g.lineTo(w, (d * h) / DIVISIONS + 0.5); }
  for (let s = 1; s < plot.seconds; s++) { const x = Math.round(w - (s * w) / plot.seconds) + 0.5; g.moveTo(x, 0); g.lineTo(x, h); }
  g.stroke();
}

function drawTraces() {
  const perDiv = (TRACE_HEIGHT / DIVISIONS) / boardState.scale;   // pixels per µV
  plot.names.forEach((name, k) => {
    const canvas = traceCanvas(name);
    const w = canvas.width, h = canvas.height, mid = h / 2;
    const g = canvas.getContext('2d');
    g.clearRect(0, 0, w, h);
    drawGrid(g, w, h);
    if (plot.head < 0) return;
    g.fillStyle = '#1d4f9c';
    const step = w / plot.width;
    let lastLow = NaN, lastHigh = NaN;
    for (let i = 0; i < plot.width; i++) {
      const column = plot.head - plot.width + 1 + i;
      if (column < 0) continue;
      const slot = column % plot.width, low = plot.low[k][slot], high = plot.high[k][slot];
      if (Number.isNaN(low)) { lastLow = lastHigh = NaN; continue; }
      // Each column's bar reaches the column before it, so the trace reads as a line.
      const reach = Number.isNaN(lastLow) ? [low, high] : [Math.min(low, lastHigh), Math.max(high, lastLow)];
      lastLow = low; lastHigh = high;
      const top = Math.max(0, mid - reach[1] * perDiv), bottom = Math.min(h, mid - reach[0] * perDiv);
      g.fillRect(i * step, Math.min(top, h - 1), Math.max(1, step), Math.max(1, bottom - top));
    }
  });
}

function drawTimeAxis() {
  const canvas = document.getElementById('time-axis');
  canvas.width = traceWidth();
  const g = canvas.getContext('2d');
  g.clearRect(0, 0, canvas.width, canvas.height);
  g.fillStyle = '#67717d';
  g.font = '11px system-ui, sans-serif';
  for (let s = 0; s <= plot.seconds; s++) {
    const x = canvas.width - (s * canvas.width) / plot.seconds;
    g.textAlign = s === 0 ? 'right' : s === plot.seconds ? 'left' : 'center';
    g.fillText(s === 0 ? '0 s' : `−${s} s`, x, 12);
  }
}

function showScale() {
  const uv = boardState.scale;
  document.getElementById('uv-per-div').value = String(uv);
  const notch = Number(document.getElementById('notch').value);
  document.getElementById('scale-label').textContent =
    `${uv} µV/div · 1 s/div · ${plot.seconds} s shown · notch ${notch ? notch + ' Hz' : 'off'}`;
  document.querySelectorAll('#traces .scale').forEach((span) => { span.textContent = `±${2 * uv} µV`; });
  drawTraces();
}

// The smallest scale on which 98 % of every channel's columns stay within the trace's height.
function autoScale() {
  const peaks = [];
  plot.low.forEach((low, k) => low.forEach((v, i) => {
    if (!Number.isNaN(v)) peaks.push(Math.max(Math.abs(v), Math.abs(plot.high[k][i])));
  }));
  if (!peaks.length) { Studio.say('Nothing to scale to yet: connect the board first.', 'info'); return; }
  peaks.sort((a, b) => a - b);
  const peak = peaks[Math.floor(peaks.length * 0.98)];
  boardState.scale = SCALES_UV.find((uv) => (DIVISIONS / 2) * uv >= peak) || SCALES_UV[SCALES_UV.length - 1];
  showScale();
}

function markStale(why) {
  boardState.stale = why;
  document.getElementById('signals-state').textContent = why;
  document.getElementById('signals').classList.add('stale');
  if (plot.names.length) resetPlot(plot.width);
  drawTraces();
}

function showTraces(event) {
  if (!event.streaming || !boardState.connected) { markStale(event.why || 'Not connected'); return; }
  if (plot.names.join() !== event.names.join()) { plot.names = event.names; plot.width = 0; plot.names.forEach(traceCanvas); }
  if (event.reset || event.width !== plot.width) resetPlot(event.width);
  plot.rate = event.rate;
  if (plot.seconds !== event.seconds) { plot.seconds = event.seconds; drawTimeAxis(); showScale(); }
  const count = event.min[0].length, step = 1 / event.per_uv;
  for (let k = 0; k < plot.names.length; k++) {
    for (let i = 0; i < count; i++) {
      const slot = (event.first + i) % plot.width;
      plot.low[k][slot] = event.min[k][i] * step;
      plot.high[k][slot] = event.max[k][i] * step;
    }
  }
  plot.head = Math.max(plot.head, event.first + count - 1);
  boardState.stale = null;
  document.getElementById('signals').classList.remove('stale');
  boardState.traces = document.querySelectorAll('#traces canvas').length;
  for (const canvas of Object.values(canvases)) if (canvas.width !== traceWidth()) canvas.width = traceWidth();
  if (!document.querySelector('#traces .scale').textContent) showScale();
  drawTraces();
  boardState.updates += 1;
}

function showVerdicts(event) {
  const rows = document.querySelector('#quality tbody');
  rows.innerHTML = '';
  boardState.verdicts = {};
  if (!event.streaming || !boardState.connected) {
    rows.innerHTML = `<tr class="stale-row"><td class="text" colspan="6">${escapeHtml(event.why || 'Not connected')}:
      no current verdicts.</td></tr>`;
    return;
  }
  event.channels.forEach((c) => {
    const row = document.createElement('tr');
    row.dataset.channel = c.name;
    row.dataset.state = c.state;
    row.innerHTML = `<td class="text">${escapeHtml(c.name)}</td><td>${c.rms_uv.toFixed(1)}</td>
      <td>${(c.railed_share * 100).toFixed(0)} %</td><td>${c.line_noise_uv2.toFixed(2)} (${c.line_hz} Hz)</td>
      <td>${c.flat ? 'yes' : 'no'}</td><td class="text ${c.state}">${escapeHtml(c.verdict)}</td>`;
    rows.appendChild(row);
    boardState.verdicts[c.name] = {state: c.state, text: c.verdict};
  });
}

function showBoard(event) {
  boardState.connected = !!event.connected;
  document.getElementById('state').textContent = event.connected
    ? `Streaming from ${event.port}${event.emulator ? ' (emulator)' : ''}.`
    : 'Not connected.';
  if (!event.connected) {
    markStale('Not connected');
    showVerdicts({streaming: false, why: 'Not connected'});
  } else if (boardState.stale) {   // connected: greyed until the first columns and verdicts come
    for (const id of ['signals-state', 'spectrum-state']) document.getElementById(id).textContent = 'Waiting for data…';
    if (!Object.keys(boardState.verdicts).length) {
      document.querySelector('#quality tbody').innerHTML =
        '<tr class="stale-row"><td class="text" colspan="6">Waiting for the first verdicts…</td></tr>';
    }
  }
  if (event.error) Studio.say(event.error, 'error');
}

const scaleChoice = document.getElementById('uv-per-div');
scaleChoice.innerHTML = SCALES_UV.map((uv) => `<option value="${uv}">${uv}</option>`).join('');
scaleChoice.onchange = () => { boardState.scale = Number(scaleChoice.value); showScale(); };
document.getElementById('auto-scale').onclick = autoScale;
for (const id of ['seconds', 'notch']) {
  document.getElementById(id).onchange = () => { sendView(true); showScale(); };
}
addEventListener('resize', () => { drawTimeAxis(); sendView(false); });
document.addEventListener('visibilitychange', () => { if (!document.hidden) sendView(false); });

Studio.on('traces', showTraces);
Studio.on('channels', showVerdicts);
Studio.on('board', showBoard);
document.getElementById('connect').onclick = () =>
  Studio.act('/api/board/connect', {port: document.getElementById('port').value}, (r) => `Board open on ${r.port}.`);
document.getElementById('emulator').onclick = () =>
  Studio.act('/api/board/connect', {emulator: true}, (r) => `Emulator with a simulated subject on ${r.port}.`);
document.getElementById('disconnect').onclick = () => Studio.act('/api/board/disconnect', {}, () => 'Board released.');
Studio.start('board').then((status) => {
  if (status.emulator_default) document.getElementById('emulator').style.fontWeight = 'bold';
  boardState.connected = !!(status.board && status.board.connected);
  drawTimeAxis();
  showScale();
  sendView(false);
  setInterval(() => sendView(false, true), VIEW_EVERY_MS);
});
