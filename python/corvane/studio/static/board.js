// Board page: connect, then draw each wired channel's trace and its quality verdict.
window.boardState = {traces: 0, verdicts: {}, updates: 0};
const canvases = {};

function drawTrace(canvas, values) {
  const g = canvas.getContext('2d');
  g.clearRect(0, 0, canvas.width, canvas.height);
  if (!values.length) return;
  const sorted = values.map(Math.abs).sort((a, b) => a - b);
  const scale = Math.max(10, sorted[Math.floor(sorted.length * 0.98)] || 10) * 1.2;
  g.strokeStyle = '#1d4f9c';
  g.beginPath();
  values.forEach((v, i) => {
    const x = (i / (values.length - 1)) * canvas.width;
    const y = canvas.height / 2 - (v / scale) * (canvas.height / 2);
    if (i === 0) g.moveTo(x, y); else g.lineTo(x, y);
  });
  g.stroke();
}

function showTraces(event) {
  const holder = document.getElementById('traces');
  const rows = document.querySelector('#quality tbody');
  rows.innerHTML = '';
  event.channels.forEach((c) => {
    if (!canvases[c.name]) {
      const line = document.createElement('div');
      line.className = 'trace';
      line.innerHTML = `<span class="name">${escapeHtml(c.name)}</span><canvas width="900" height="70"></canvas>
        <span class="scale muted"></span>`;
      holder.appendChild(line);
      canvases[c.name] = line.querySelector('canvas');
      canvases[c.name].dataset.channel = c.name;
    }
    drawTrace(canvases[c.name], c.trace);
    const row = document.createElement('tr');
    row.dataset.channel = c.name;
    row.dataset.state = c.state;
    row.innerHTML = `<td class="text">${escapeHtml(c.name)}</td><td>${c.rms_uv.toFixed(1)}</td>
      <td>${(c.railed_share * 100).toFixed(0)} %</td><td>${c.line_noise_uv2.toFixed(2)} (${c.line_hz} Hz)</td>
      <td>${c.flat ? 'yes' : 'no'}</td><td class="text ${c.state}">${escapeHtml(c.verdict)}</td>`;
    rows.appendChild(row);
    boardState.verdicts[c.name] = {state: c.state, text: c.verdict};
  });
  boardState.traces = document.querySelectorAll('#traces canvas').length;
  boardState.updates += 1;
}

function showBoard(event) {
  const state = document.getElementById('state');
  state.textContent = event.connected
    ? `Streaming from ${event.port}${event.emulator ? ' (emulator)' : ''}.`
    : 'Not connected.';
  if (event.error) Studio.say(event.error, 'error');
}

Studio.on('traces', showTraces);
Studio.on('board', showBoard);
document.getElementById('connect').onclick = () =>
  Studio.act('/api/board/connect', {port: document.getElementById('port').value}, (r) => `Board open on ${r.port}.`);
document.getElementById('emulator').onclick = () =>
  Studio.act('/api/board/connect', {emulator: true}, (r) => `Emulator with a simulated subject on ${r.port}.`);
document.getElementById('disconnect').onclick = () => Studio.act('/api/board/disconnect', {}, () => 'Board released.');
Studio.start('board').then((status) => {
  if (status.emulator_default) document.getElementById('emulator').style.fontWeight = 'bold';
});
