// The operator console's core: DOM helpers, the JSON API, who the client is, the event stream and
// the views (hash routing). Every view is an object {title, show(el, args), hide()} registered in
// Console.views; texts from the server are always put in as text, never as markup.
'use strict';

const Console = (() => {
  const views = {};
  const streamListeners = new Set();
  const openListeners = new Set();  // called when the stream (re)opens: catch up by the API
  let current = null;
  let ws = null;
  let wsOpen = false;
  let wsRetry = 1000;
  let traceWanted = null;  // null: off; {line} when the trace view wants trace lines
  const me = {user: 'anonymous', host: '', writer: false};

  // el('td', {class: 'num', 'data-test': 'x'}, 'text', childNode, ...)
  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (v === undefined || v === null || v === false) continue;
      if (k.startsWith('on'))
        e.addEventListener(k.slice(2), v);
      else if (k === 'value')
        e.value = v;
      else
        e.setAttribute(k, v === true ? '' : String(v));
    }
    for (const c of children.flat(Infinity)) {
      if (c === undefined || c === null) continue;
      e.append(c instanceof Node ? c : document.createTextNode(String(c)));
    }
    return e;
  }

  // A control that changes something: built only for writers (read-only clients get none in the
  // page at all). Returns null for others, which el() leaves out.
  function writeControl(tag, attrs, ...children) {
    if (!me.writer) return null;
    return el(tag, Object.assign({'data-write': true, class: 'write'}, attrs), ...children);
  }

  function message(text, ok) {
    const m = document.getElementById('message');
    m.textContent = text;
    m.className = ok ? 'ok' : '';
    m.hidden = !text;
  }

  async function get(path) {
    const r = await fetch(path, {cache: 'no-store'});
    let body = null;
    try {
      body = await r.json();
    } catch (e) {
      body = {error: 'bad answer (' + r.status + ')'};
    }
    if (!r.ok) throw new Error((body && body.error) || ('HTTP ' + r.status));
    return body;
  }

  // A write: POST with a JSON body. Resolves to the answer; shows errors in the message bar.
  async function post(path, data) {
    const r = await fetch(path, {
      method: 'POST',
      cache: 'no-store',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify(data)
    });
    let body = null;
    try {
      body = await r.json();
    } catch (e) {
      body = {error: 'bad answer (' + r.status + ')'};
    }
    if (!r.ok || (body && body.error)) {
      const text = (body && body.error) || ('HTTP ' + r.status);
      message('error: ' + text);
      throw new Error(text);
    }
    const ans = body && body.answer ? body.answer.join('\n') : 'ok';
    message(ans, true);
    return body;
  }

  const enc = encodeURIComponent;

  function query(params) {
    const q = Object.entries(params)
                  .filter(([, v]) => v !== '' && v !== null && v !== undefined)
                  .map(([k, v]) => enc(k) + '=' + enc(v));
    return q.length ? '?' + q.join('&') : '';
  }

  // ---- the event stream -------------------------------------------------------------------
  function setStreamState(open) {
    wsOpen = open;
    const s = document.getElementById('stream-state');
    s.textContent = 'stream: ' + (open ? 'live' : 'polling');
    s.className = open ? 'open' : '';
  }

  function connect() {
    let url = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/api/stream';
    try {
      ws = new WebSocket(url);
    } catch (e) {
      ws = null;
      setTimeout(connect, wsRetry);
      return;
    }
    ws.onopen = () => {
      wsRetry = 1000;
      setStreamState(true);
      if (traceWanted) sendStream(Object.assign({trace: true}, traceWanted));
      for (const f of openListeners) f();
    };
    ws.onmessage = (m) => {
      let o;
      try {
        o = JSON.parse(m.data);
      } catch (e) {
        return;
      }
      for (const f of streamListeners) {
        try {
          f(o);
        } catch (e) {
          console.error(e);
        }
      }
    };
    ws.onclose = () => {
      ws = null;
      setStreamState(false);
      setTimeout(connect, wsRetry);
      wsRetry = Math.min(wsRetry * 2, 30000);
    };
    ws.onerror = () => {};
  }

  function sendStream(o) {
    if (ws && wsOpen) ws.send(JSON.stringify(o));
  }

  // Trace lines by the stream: on (line 0: all lines) or off.
  function wantTrace(on, line) {
    traceWanted = on ? (line ? {line: line} : {}) : null;
    sendStream(on ? Object.assign({trace: true}, traceWanted) : {trace: false});
  }

  // ---- views ------------------------------------------------------------------------------
  function route() {
    const h = decodeURIComponent(location.hash.replace(/^#\/?/, '')) || 'crate';
    const parts = h.split('/');
    const name = views[parts[0]] ? parts[0] : 'crate';
    if (current && current.hide) current.hide();
    current = views[name];
    for (const a of document.querySelectorAll('nav a'))
      a.classList.toggle('active', a.getAttribute('href') === '#/' + name);
    const root = document.getElementById('view');
    root.replaceChildren();
    root.setAttribute('data-view', name);
    document.title = 'canbus ' + (current.title || name);
    message('');
    current.show(root, parts.slice(1).join('/'));
  }

  // Runs `f` now and every `ms` until the returned stop function is called; a run does not
  // overlap the previous one.
  function every(ms, f) {
    let stopped = false, timer = null;
    const run = async () => {
      if (stopped) return;
      try {
        await f();
      } catch (e) {
        message('error: ' + e.message);
      }
      if (!stopped) timer = setTimeout(run, ms);
    };
    run();
    return () => {
      stopped = true;
      clearTimeout(timer);
    };
  }

  async function start() {
    try {
      Object.assign(me, await get('/api/me'));
    } catch (e) {
      message('error: ' + e.message);
    }
    document.getElementById('who').textContent =
        me.user + '@' + me.host + (me.writer ? ' (writer)' : ' (read-only)');
    document.body.setAttribute('data-writer', me.writer ? 'true' : 'false');
    setStreamState(false);
    connect();
    window.addEventListener('hashchange', route);
    route();
  }

  return {
    views,
    me,
    el,
    writeControl,
    message,
    get,
    post,
    query,
    enc,
    every,
    start,
    wantTrace,
    onStream: (f) => {
      streamListeners.add(f);
      return () => streamListeners.delete(f);
    },
    onStreamOpen: (f) => {
      openListeners.add(f);
      return () => openListeners.delete(f);
    },
    streamOpen: () => wsOpen,
  };
})();
