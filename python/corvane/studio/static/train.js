// Train page: progress with steps/s, then the agent beside CSP + LDA and both confusion matrices.
window.trainState = {state: 'idle'};

function confusion(table, matrix, classes) {
  const peak = Math.max(1, ...matrix.flat());
  let html = '<tr><th class="text">true \\ decided</th>' + classes.map((c) => `<th>${escapeHtml(c)}</th>`).join('') + '</tr>';
  matrix.forEach((row, i) => {
    html += `<tr><th class="text">${escapeHtml(classes[i] || i)}</th>` + row.map((n, j) => {
      const shade = Math.round(255 - (n / peak) * 150);
      const colour = i === j ? `rgb(${shade},255,${shade})` : `rgb(255,${shade},${shade})`;
      return `<td style="background:${n ? colour : '#fff'}">${n}</td>`;
    }).join('') + '</tr>';
  });
  table.innerHTML = html;
}

function showResult(result) {
  document.getElementById('result').style.display = 'block';
  const pct = (x) => (x * 100).toFixed(0) + ' %';
  const sd = (x) => ` <span class="muted">± ${(x * 100).toFixed(0)}</span>`;
  document.querySelector('#scores tbody').innerHTML =
    `<tr><td class="text">held-out accuracy, mean ± sd</td><td><span id="score-agent">${pct(result.agent)}</span>${sd(result.agent_sd)}</td>` +
    `<td><span id="score-csp-lda">${pct(result.csp_lda)}</span>${sd(result.csp_lda_sd)}</td></tr>`;
  document.getElementById('held-out').textContent =
    `${result.splits} repeated splits, ${result.held_out / result.splits} epochs held out in each ` +
    `(${result.held_out} in the matrices), ${result.classes.length} classes (chance ${pct(1 / result.classes.length)}). ` +
    'Within each split the CSP filters, the scaler, the agent and the LDA are fitted on its training epochs only.';
  confusion(document.getElementById('confusion-agent'), result.confusion.agent, result.classes);
  confusion(document.getElementById('confusion-csp_lda'), result.confusion.csp_lda, result.classes);
  document.getElementById('used').textContent = 'Trained on: ' + result.used;
  document.getElementById('spread').textContent = result.spread_note;
  document.getElementById('artefacts').textContent = 'Artefacts: ' + (result.artefacts || []).join(', ');
}

Studio.on('train', (e) => {
  window.trainState = e;
  const stage = document.getElementById('stage');
  const busy = e.state === 'running';
  document.getElementById('train').disabled = busy;
  document.querySelectorAll('[data-session]').forEach((box) => { box.disabled = busy; });
  if (e.state === 'failed') {
    stage.textContent = 'Training failed.';
    document.getElementById('stage-detail').textContent = '';
    Studio.say(e.error, 'error', e.details);
  }
  if (e.state === 'done') {
    stage.textContent = 'Training finished';
    document.getElementById('stage-detail').textContent = 'The artefacts are where live decoding loads them.';
    document.getElementById('bar').style.width = '100%';
    Studio.say('Training finished.', 'info');
    showResult(e.result);
    listSessions();
  }
});
// Every stage named, and the bar over all of them.
window.stagesSeen = [];
Studio.on('train_stage', (e) => {
  window.trainStage = e;
  if (e.name && !window.stagesSeen.includes(e.name)) window.stagesSeen.push(e.name);
  if ((window.trainState || {}).state !== 'running') return;
  document.getElementById('stage').textContent = e.index ? `Stage ${e.index} of ${e.stages}: ${e.name}` : `${e.name}…`;
  document.getElementById('stage-detail').textContent = e.detail || '';
  document.getElementById('bar').style.width = `${Math.min(100, 100 * e.overall)}%`;
});
Studio.on('train_progress', (e) => {
  document.getElementById('rate').textContent = `Agent: ${e.steps} of ${e.total} steps, ${Number(e.steps_per_s).toFixed(0)} steps/s`;
});

// The recorded sessions as boxes to tick (all by default).
async function listSessions() {
  const list = document.getElementById('sessions-list');
  try {
    const {sessions} = await Studio.get('/api/train/sessions');
    if (!sessions.length) { list.textContent = 'No recorded sessions yet: record one on the Session page.'; return; }
    list.innerHTML = 'Sessions to train on: ' + sessions.map((s) => `<label><input type="checkbox" data-session="${s.session}" checked>
      session ${s.session} (${s.trials} trials${s.subject ? ', ' + escapeHtml(s.subject) : ''})</label>`).join('');
  } catch (error) { list.textContent = ''; Studio.say(error.message, 'error', error.details); }
}
function chosen() {
  const boxes = [...document.querySelectorAll('[data-session]')];
  if (!boxes.length || boxes.every((box) => box.checked)) return undefined;   // all of them
  return boxes.filter((box) => box.checked).map((box) => Number(box.dataset.session));
}

document.getElementById('train').onclick = () => {
  const steps = document.getElementById('steps').value, sessions = chosen();
  document.getElementById('result').style.display = 'none';
  Studio.act('/api/train/start', {...(steps ? {steps: Number(steps)} : {}), ...(sessions ? {sessions} : {})},
             () => 'Training started.');
};
document.getElementById('cancel').onclick = () => Studio.act('/api/train/cancel', {}, () => 'Cancelling.');
Studio.start('train').then((status) => {
  if (status.steps) document.getElementById('steps').placeholder = `${status.steps} (the studio's)`;
  listSessions();
});
