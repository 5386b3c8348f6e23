// One event stream for every tab of this studio (a shared worker per origin): it relays each event
// to every tab and gives a tab that connects later the newest event of each topic. A tab bringing
// another token (the studio was restarted on this port) restarts the stream with it.
importScripts('/static/studio.js');

const tabs = new Set();
let latest = {}, open = false, token = null, current = null;

function relay(message) { for (const tab of tabs) tab.postMessage(message); }

function follow(newToken) {
  if (current) current.abort();
  token = newToken;
  latest = {};
  current = new AbortController();
  streamEvents(token, (event) => { keepLatest(latest, event); relay({event}); },
               (state) => { open = state === 'open'; relay({state}); }, current.signal);
}

onconnect = (connection) => {
  const tab = connection.ports[0];
  tabs.add(tab);
  tab.onmessage = ({data}) => {
    if (data.bye) { tabs.delete(tab); return; }
    if (data.token !== token) { follow(data.token); return; }
    if (open) tab.postMessage({state: 'open'});
    for (const event of Object.values(latest)) tab.postMessage({event});
  };
};
