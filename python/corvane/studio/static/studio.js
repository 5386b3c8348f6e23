// Shared by every page: the run's token, the top bar with the always-visible stop button, the event
// stream, and JSON actions whose errors show in the page's message box. The events worker loads
// this file too, for streamEvents.
const TOKEN_KEY = 'corvane-studio-token';
const STOP_LATE_MS = 1000;

// The token from the printed URL is kept in this origin's storage (this port's only) and taken out
// of the address bar; every /api/ request sends it in a header.
function studioToken() {
  const given = new URLSearchParams(location.search).get('token');
  if (given) {
    localStorage.setItem(TOKEN_KEY, given);
    history.replaceState(null, '', location.pathname);
  }
  return localStorage.getItem(TOKEN_KEY) || '';
}

// Reads the server-sent events of /api/events with fetch (so the token goes in a header) and
// reconnects after a second; onState gets 'open', 'closed' or 'refused' (a wrong token: it ends).
async function streamEvents(token, onEvent, onState, signal) {
  while (!(signal && signal.aborted)) {
    try {
      const answer = await fetch('/api/events', {headers: {'X-Studio-Token': token}, cache: 'no-store', signal});
      if (answer.status === 403) { onState('refused'); return; }
      if (answer.ok) {
        onState('open');
        const reader = answer.body.pipeThrough(new TextDecoderStream()).getReader();
        let pending = '';
        for (;;) {
          const {value, done} = await reader.read();
          if (done) break;
          const blocks = (pending + value).split('\n\n');
          pending = blocks.pop();
          for (const block of blocks) {
            for (const line of block.split('\n')) if (line.startsWith('data: ')) onEvent(JSON.parse(line.slice(6)));
          }
        }
      }
    } catch (error) { if (signal && signal.aborted) return; }
    onState('closed');
    await new Promise((resolve) => setTimeout(resolve, 1000));
  }
}

// The newest event of each topic, less the topics a new run's first event says to forget.
function keepLatest(latest, event) {
  for (const topic of event.forget || []) delete latest[topic];
  latest[event.topic] = event;
}

// A failed action's answer as an Error carrying its details line.
function studioError(data, answer) {
  const error = new Error(data.error || answer.statusText);
  error.details = data.details;
  return error;
}

const Studio = {
  handlers: {},
  starting: new Set(),   // ids of starts this page has sent and not had answered: STOP cancels them
  on(topic, handler) { (this.handlers[topic] = this.handlers[topic] || []).push(handler); },

  get token() { return this._token === undefined ? (this._token = studioToken()) : this._token; },

  async post(path, body) {
    const answer = await fetch(path, {method: 'POST', body: JSON.stringify(body || {}),
                                      headers: {'Content-Type': 'application/json', 'X-Studio-Token': this.token}});
    const data = await answer.json().catch(() => ({error: answer.statusText}));
    if (!answer.ok) throw studioError(data, answer);
    return data;
  },

  async get(path) {
    const answer = await fetch(path, {headers: {'X-Studio-Token': this.token}});
    const data = await answer.json().catch(() => ({error: answer.statusText}));
    if (!answer.ok) throw studioError(data, answer);
    return data;
  },

  // Runs an action; its failure is shown, its success optionally described.
  async act(path, body, done) {
    try {
      const data = await this.post(path, body);
      if (done) this.say(done(data), 'info'); else this.say('');
      return data;
    } catch (error) {
      this.say(error.message, 'error', error.details);
      return null;
    }
  },

  // A start STOP can cancel even before the studio has seen it.
  async actStarting(path, body, done) {
    const id = `${Date.now()}-${Math.random().toString(36).slice(2)}`;
    this.starting.add(id);
    try { return await this.act(path, {...body, start_id: id}, done); } finally { this.starting.delete(id); }
  },

  // The message box; `details` (file names, a module's own words) on a smaller line under it.
  say(text, kind, details) {
    const box = document.getElementById('message');
    if (!box) return;
    box.textContent = text;
    if (details) {
      const line = document.createElement('div');
      line.className = 'details';
      line.textContent = 'Details: ' + details;
      box.appendChild(line);
    }
    box.className = text ? 'message ' + kind : 'message';
  },

  banner(id, text) {
    const banner = document.getElementById(id);
    if (!banner) return;
    banner.textContent = text;
    banner.style.display = text ? 'block' : 'none';
  },

  // STOP: "Stopping…" at once (before the request leaves), then the actuator's answer, both in the
  // alarm style; a missing acknowledgement also says what to do.
  async stop() {
    window.stopClickedAt = Date.now();
    window.stopLate = false;
    this.say('Stopping…', 'alarm');
    const late = setTimeout(() => {
      window.stopLate = true;
      this.banner('stop-late', 'STOP has not been answered within 1 s. If the device still moves, switch it off by hand.');
    }, STOP_LATE_MS);
    let result = null;
    try {
      result = await this.post('/api/stop', {cancel: [...this.starting]});
      this.say(stopOutcome(result), 'alarm');
    } catch (error) {
      this.say(`STOP could not be confirmed: ${error.message} If the device still moves, switch it off by hand.`,
               'alarm', error.details);
    }
    clearTimeout(late);
    if (result) {
      this.banner('stop-late', result.acknowledged ? ''
        : 'The actuator did not acknowledge "S". If the device still moves, switch it off by hand.');
    }
    window.stopResult = result;
  },

  topBar(here) {
    const bar = document.createElement('header');
    const links = [['board', 'Board'], ['session', 'Session'], ['train', 'Train'], ['live', 'Live']]
      .map(([path, name]) => `<a href="/${path}" class="${path === here ? 'here' : ''}">${name}</a>`).join('');
    bar.innerHTML = `<strong>Corvane Studio</strong><nav>${links}</nav>
      <span class="controller">commands go to: <span id="controller">no actuator started</span></span>
      <button id="stop" title="Sends S to the actuator at once">STOP</button>`;
    document.body.prepend(bar);
    bar.insertAdjacentHTML('afterend', '<div class="banner" id="banner"></div><div class="banner" id="stop-late"></div>');
    document.getElementById('stop').onclick = () => this.stop();
  },

  showController(url) { if (url) document.getElementById('controller').textContent = url; },

  // One event stream per browser: a shared worker holds it for every tab of this studio, so tabs
  // never take the connections STOP needs; without shared workers, one tab does (below).
  listen(handle) {
    const onState = (state) => {
      if (state === 'open') window.studioConnected = true;
      if (state === 'refused') this.banner('banner', 'This studio needs its token: open the URL it printed.');
    };
    if (typeof SharedWorker === 'undefined') { this.listenThroughOneTab(handle, onState); return; }
    const worker = new SharedWorker('/static/events-worker.js', {name: 'corvane-studio-events'});
    worker.onerror = () => this.listenThroughOneTab(handle, onState);   // the worker could not run
    worker.port.onmessage = ({data}) => { if (data.event) handle(data.event); else onState(data.state); };
    worker.port.start();
    worker.port.postMessage({token: this.token});
    addEventListener('pagehide', () => worker.port.postMessage({bye: true}));
  },

  // The tabs elect one (it holds a Web Lock until it closes) to hold the stream and pass its events
  // to the others over a BroadcastChannel; a tab that opens later gets the newest of each topic.
  listenThroughOneTab(handle, onState) {
    if (!navigator.locks || typeof BroadcastChannel === 'undefined') { streamEvents(this.token, handle, onState); return; }
    const channel = new BroadcastChannel('corvane-studio-events');
    const latest = {};
    let leading = false, open = false;
    channel.onmessage = ({data}) => {
      if (data.event) handle(data.event);
      else if (data.state) onState(data.state);
      else if (data.hello && leading) {
        if (open) channel.postMessage({state: 'open'});
        for (const event of Object.values(latest)) channel.postMessage({event});
      }
    };
    navigator.locks.request('corvane-studio-events', () => {
      leading = true;
      return streamEvents(this.token, (event) => { keepLatest(latest, event); handle(event); channel.postMessage({event}); },
                          (state) => { open = state === 'open'; onState(state); channel.postMessage({state}); });
    });
    channel.postMessage({hello: true});
  },

  async start(here) {
    this.topBar(here);
    this.on('live', (e) => this.showController(e.controller));
    this.listen((event) => (this.handlers[event.topic] || []).forEach((handler) => handler(event)));
    let status = {};
    try { status = await this.get('/api/status'); } catch (error) { this.banner('banner', error.message); }
    this.status = status;
    this.showController(status.controller);
    if (status.blocked) this.banner('banner', status.blocked);
    return status;
  },
};

// What a STOP came to, in the words the message box and the Live page show.
function stopOutcome(r) {
  if (r.acknowledged) return `Stopped (actuator acknowledged S in ${Math.round(r.seconds * 1000)} ms)`;
  if (!r.controller) return 'Stopped: no actuator has been started, so there was nothing to send S to.';
  return `Stop sent, but the actuator at ${r.controller} did not acknowledge S. If the device still moves, ` +
         'switch it off by hand.';
}

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;'}[c]));
}
