// Shared by every page: the top bar with the always-visible stop button, the event stream, and
// JSON actions whose errors show in the page's message box.
const Studio = {
  handlers: {},
  on(topic, handler) { (this.handlers[topic] = this.handlers[topic] || []).push(handler); },

  async post(path, body) {
    const answer = await fetch(path, {method: 'POST', headers: {'Content-Type': 'application/json'},
                                      body: JSON.stringify(body || {})});
    const data = await answer.json().catch(() => ({error: answer.statusText}));
    if (!answer.ok) throw new Error(data.error || answer.statusText);
    return data;
  },

  // Runs an action; its failure is shown, its success optionally described.
  async act(path, body, done) {
    try {
      const data = await this.post(path, body);
      if (done) this.say(done(data), 'info'); else this.say('');
      return data;
    } catch (error) {
      this.say(error.message, 'error');
      return null;
    }
  },

  say(text, kind) {
    const box = document.getElementById('message');
    if (!box) return;
    box.textContent = text;
    box.className = text ? 'message ' + kind : 'message';
  },

  topBar(here) {
    const bar = document.createElement('header');
    const links = [['board', 'Board'], ['session', 'Session'], ['train', 'Train'], ['live', 'Live']]
      .map(([path, name]) => `<a href="/${path}" class="${path === here ? 'here' : ''}">${name}</a>`).join('');
    bar.innerHTML = `<strong>Corvane Studio</strong><nav>${links}</nav>
      <span class="controller">commands go to: <span id="controller">no actuator started</span></span>
      <button id="stop" title="Sends S to the actuator at once">STOP</button>`;
    document.body.prepend(bar);
    const banner = document.createElement('div');
    banner.className = 'banner';
    banner.id = 'banner';
    bar.after(banner);
    document.getElementById('stop').onclick = async () => {
      window.stopClickedAt = Date.now();
      const result = await this.act('/api/stop', {}, (r) =>
        r.acknowledged ? `Stop sent: "S" acknowledged by ${r.controller} in ${(r.seconds * 1000).toFixed(0)} ms`
                       : `Stop: ${r.note || 'the actuator did not acknowledge "S"'}`);
      window.stopResult = result;
    };
  },

  showController(url) { if (url) document.getElementById('controller').textContent = url; },

  async start(here) {
    this.topBar(here);
    this.on('live', (e) => this.showController(e.controller));
    const status = await fetch('/api/status').then((r) => r.json());
    this.status = status;
    this.showController(status.controller);
    if (status.blocked) {
      const banner = document.getElementById('banner');
      banner.textContent = status.blocked;
      banner.style.display = 'block';
    }
    const events = new EventSource('/api/events');
    events.onmessage = (message) => {
      const event = JSON.parse(message.data);
      (this.handlers[event.topic] || []).forEach((handler) => handler(event));
    };
    events.onopen = () => { window.studioConnected = true; };
    return status;
  },
};

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;'}[c]));
}
