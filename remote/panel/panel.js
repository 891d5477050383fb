'use strict';
// The remote control's panel: the status as the server sends it, a dozen times a second, and
// buttons that press what the window's press. Every decision stays with the program; a refusal
// is shown as it comes back.

const TokenKey = 'lagvane-token';
// The server sends more than ten events a second: this long without one is a dead connection.
const SilenceMs = 3000;
const RetryMs = 1000;
// A server that turned the stream away is asked again less often.
const RefusedRetryMs = 5000;

const element = (id) => document.getElementById(id);

let tokenAsked = null;

// The token, where the server wants one, is asked once and kept for this tab's session only.
function authHeaders() {
  const token = sessionStorage.getItem(TokenKey);
  return token ? { Authorization: 'Bearer ' + token } : {};
}

function askToken() {
  if (!tokenAsked) {
    tokenAsked = new Promise((resolve) => {
      const form = element('token');
      form.hidden = false;
      element('token-input').focus();
      form.addEventListener('submit', function submitted(event) {
        event.preventDefault();
        sessionStorage.setItem(TokenKey, element('token-input').value.trim());
        form.removeEventListener('submit', submitted);
        form.hidden = true;
        tokenAsked = null;
        resolve();
      });
    });
  }
  return tokenAsked;
}

async function errorText(response) {
  try {
    return (await response.json()).error || response.statusText;
  } catch {
    return response.statusText;
  }
}

function clock(seconds) {
  const tenths = Math.max(0, Math.round(seconds * 10));
  const hours = Math.floor(tenths / 36000);
  const minutes = Math.floor(tenths / 600) % 60;
  const secs = (tenths % 600) / 10;
  return `${hours}:${String(minutes).padStart(2, '0')}:${secs.toFixed(1).padStart(4, '0')}`;
}

function showLink(up, text) {
  const link = element('link');
  link.dataset.link = up ? 'up' : 'down';
  link.textContent = text;
}

function showChannel(side, level) {
  element('level-' + side).style.width = `${100 - level.bar * 100}%`;
  const peak = element('peak-' + side);
  // The window's peak box: "ok" at or below a quarter of full scale, "hi" above.
  peak.dataset.peak = level.peak;
  peak.textContent = level.peak;
}

function show(status) {
  const state = element('state');
  state.dataset.state = status.state;
  state.textContent = status.state;
  element('onair').textContent = status.running ? clock(status.onAirDelay) : '–:––:––.–';
  element('setdelay').textContent = clock(status.setDelay);

  const buildUp = status.buildUp;
  element('buildup').hidden = !buildUp.active;
  if (buildUp.active) {
    const left = Math.ceil(buildUp.secondsLeft);
    element('buildup-fill').style.width = `${buildUp.done * 100}%`;
    element('buildup-text').textContent =
        `${Math.floor(buildUp.done * 100)} % · ${Math.floor(left / 60)}:${String(left % 60).padStart(2, '0')} left`;
  }

  // The last buffer's levels stay in the report after a run; a stopped meter reads nothing.
  const silent = { bar: 0, peak: 'ok' };
  showChannel('left', status.running ? status.levels.left : silent);
  showChannel('right', status.running ? status.levels.right : silent);

  for (const [id, count] of [['lost', status.dropouts.framesLost], ['dry', status.dropouts.dry],
                             ['xruns', status.dropouts.xruns]]) {
    element(id).textContent = count;
    element(id).dataset.some = count > 0;
  }

  const message = status.lastMessage;
  element('message').textContent =
      message ? `${new Date(message.time).toLocaleTimeString()}  ${message.text}` : '';

  // Enabled as the window enables its own: one Exit button there turns into Build when live.
  const live = status.state === 'live' || status.state === 'exiting';
  element('dump').disabled = !status.canDump;
  element('exit').disabled = !status.running || live;
  element('build').disabled = !status.running || !live;
  element('cough').disabled = !status.running;
  element('cough').setAttribute('aria-pressed', String(status.cough));
}

// One event per "data:" block; the server sends each whole, but the network may split it.
async function readEvents(body, alive) {
  const reader = body.pipeThrough(new TextDecoderStream()).getReader();
  let pending = '';
  for (;;) {
    const { value, done } = await reader.read();
    if (done)
      return;
    alive();
    pending += value;
    for (let end; (end = pending.indexOf('\n\n')) >= 0;) {
      const data = pending.slice(0, end).split('\n')
          .filter((line) => line.startsWith('data:'))
          .map((line) => line.slice(5).trimStart())
          .join('\n');
      pending = pending.slice(end + 2);
      if (data)
        show(JSON.parse(data));
    }
  }
}

// The stream is read with fetch(), not EventSource: EventSource sends no headers, and the
// token belongs in the Authorization header like every other client's, never in the address,
// where it would stay in the browser's history and any proxy's log.
async function watch() {
  for (;;) {
    let retryMs = RetryMs;
    const abort = new AbortController();
    let silence = setTimeout(() => abort.abort(), SilenceMs);
    const alive = () => {
      clearTimeout(silence);
      silence = setTimeout(() => abort.abort(), SilenceMs);
    };
    try {
      const response = await fetch('/api/events',
                                   { headers: authHeaders(), cache: 'no-store', signal: abort.signal });
      if (response.status === 401) {
        clearTimeout(silence);
        showLink(false, 'Token needed');
        await askToken();
        continue;
      }
      if (!response.ok) {
        showLink(false, await errorText(response));
        retryMs = RefusedRetryMs;
      } else {
        showLink(true, 'Live');
        await readEvents(response.body, alive);
        showLink(false, 'Connection lost');
      }
    } catch {
      showLink(false, abort.signal.aborted ? 'Connection lost' : 'No connection');
    }
    clearTimeout(silence);
    await new Promise((resolve) => setTimeout(resolve, retryMs));
  }
}

async function press(path) {
  const refusal = element('refusal');
  try {
    const response = await fetch(path, { method: 'POST', headers: authHeaders(), cache: 'no-store' });
    // Never pressed again by itself once the token is in: a Dump seconds late is not the one
    // the operator meant.
    if (response.status === 401) {
      refusal.textContent = 'Token needed: press again once it is in';
      askToken();
      return;
    }
    refusal.textContent = response.ok ? '' : await errorText(response);
  } catch {
    refusal.textContent = 'No connection to the program';
  }
}

// Held while pressed, as the window's Cough is: let go, slid off, or taken away by the system,
// the cough ends.
function holdCough(button) {
  let held = false;
  // A quick tap's let-go could overtake its press on another connection and leave the cough
  // held: each waits for the one before.
  let sent = Promise.resolve();
  const start = (event) => {
    if (held || button.disabled)
      return;
    event.preventDefault();
    held = true;
    sent = sent.then(() => press('/api/cough/start'));
  };
  const stop = () => {
    if (!held)
      return;
    held = false;
    sent = sent.then(() => press('/api/cough/stop'));
  };
  button.addEventListener('pointerdown', start);
  for (const name of ['pointerup', 'pointercancel', 'pointerleave', 'blur'])
    button.addEventListener(name, stop);
  button.addEventListener('keydown', (event) => {
    if ((event.key === ' ' || event.key === 'Enter') && !event.repeat)
      start(event);
  });
  button.addEventListener('keyup', stop);
  // A long press on a touch screen would open a menu and steal the pointer.
  button.addEventListener('contextmenu', (event) => event.preventDefault());
  document.addEventListener('visibilitychange', stop);
}

element('dump').addEventListener('click', () => press('/api/dump'));
element('exit').addEventListener('click', () => press('/api/exit'));
element('build').addEventListener('click', () => press('/api/build'));
holdCough(element('cough'));
watch();
