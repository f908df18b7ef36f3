// The event log and the bus trace. Both read what the server kept, then follow the stream (or,
// while the stream is down, ask for what is newer every second).
'use strict';

(() => {
  const {el, enc} = Console;
  const MAX_ROWS = 2000;

  function filterBar(fields, onchange) {
    return el('div', {class: 'bar'}, fields.map(([key, label, size]) => {
      const i = el(
          'input', {'data-test': 'filter-' + key, size, placeholder: label, 'aria-label': label});
      i.addEventListener('change', onchange);
      fields[key] = i;
      return i;
    }));
  }
  const val = (f, k) => f[k].value.trim();
  const list = (s) => s.split(/[\s,]+/).filter(Boolean);

  // ---- events ------------------------------------------------------------------------------
  {
    let body = null, fields = null, lastSeq = 0, stop = null, unlisten = null, unopen = null;
    const matches = (o) => {
      const kinds = list(val(fields, 'kind')), line = val(fields, 'line'),
            name = val(fields, 'name');
      return (!kinds.length || kinds.includes(o.kind)) && (!line || String(o.line) === line) &&
          (!name || o.name === name || (name.endsWith('.') && (o.name || '').startsWith(name)));
    };
    const row = (o) =>
        el('tr', {'data-test': 'event-row', 'data-kind': o.kind}, el('td', {class: 'num'}, o.seq),
           el('td', {}, o.time || ''), el('td', {}, o.kind), el('td', {class: 'num'}, o.line || ''),
           el('td', {}, o.name || ''), el('td', {class: 'wrap mono'}, o.text));
    const prepend = (rows) => {
      body.prepend(...rows);
      while (body.children.length > MAX_ROWS) body.lastChild.remove();
    };
    async function load(after) {
      const q = Console.query({
        limit: 500,
        kind: list(val(fields, 'kind')).join(','),
        line: val(fields, 'line'),
        name: val(fields, 'name'),
        after: after || ''
      });
      const {events} = await Console.get('/api/events' + q);
      if (!body) return;
      // Loads may overlap (stream reopened, filter changed): only what is newer is added.
      const fresh = events.filter((o) => o.seq > lastSeq);
      if (events.length) lastSeq = Math.max(lastSeq, events[0].seq);
      prepend(fresh.map(row));
    }
    Console.views.events = {
      title: 'events',
      show(root) {
        lastSeq = 0;
        body = el('tbody', {'data-test': 'events-body'});
        fields = [
          ['kind', 'kinds: state,emergency', 24], ['line', 'line', 4],
          ['name', 'name or prefix.', 20]
        ];
        root.append(
            el('h2', {}, 'Events'),
            filterBar(
                fields,
                () => {
                  lastSeq = 0;
                  body.replaceChildren();
                  load(0).catch((e) => Console.message('error: ' + e.message));
                }),
            el('table', {'data-test': 'events-table'},
               el('thead', {},
                  el('tr', {},
                     ['#', 'Time', 'Kind', 'Line', 'Name', 'Event'].map((h) => el('th', {}, h)))),
               body));
        stop = Console.every(1000, () => (Console.streamOpen() && lastSeq ? null : load(lastSeq)));
        unopen = Console.onStreamOpen(() => load(lastSeq).catch(() => {}));
        unlisten = Console.onStream((o) => {
          if (o.type !== 'event' || o.seq <= lastSeq) return;
          lastSeq = o.seq;
          if (matches(o)) prepend([row(o)]);
        });
      },
      hide() {
        if (stop) stop();
        if (unlisten) unlisten();
        if (unopen) unopen();
        body = null;
      },
    };
  }

  // ---- the bus trace -----------------------------------------------------------------------
  {
    let body = null, fields = null, lastSeq = 0, stop = null, unlisten = null, paused = false,
        save = null;
    let unopen = null;
    const matches = (o) => {
      const node = val(fields, 'node'), services = list(val(fields, 'service').toUpperCase()),
            line = val(fields, 'line');
      return (!node || String(o.node) === node) && (!line || String(o.line) === line) &&
          (!services.length || services.includes(o.service));
    };
    const row = (o) =>
        el('tr', {'data-test': 'trace-row', 'data-service': o.service, 'data-node': o.node},
           el('td', {class: 'num'}, ((o.t_ms % 100000) / 1000).toFixed(3)),
           el('td', {class: 'num'}, o.line), el('td', {class: 'num'}, o.node || ''),
           el('td', {}, o.service), el('td', {class: 'mono wrap'}, o.text));
    const append = (rows) => {
      if (!body || !rows.length) return;
      body.append(...rows);
      while (body.children.length > MAX_ROWS) body.firstChild.remove();
      const box = body.closest('.scroll');
      if (box) box.scrollTop = box.scrollHeight;
    };
    // The stream's lines go into the page ten times a second, together: one layout for all of
    // them, never one per line (a busy bus would keep the page from doing anything else).
    let pending = [], flushing = false;
    const later = (r) => {
      pending.push(r);
      if (pending.length > MAX_ROWS) pending.shift();
      if (flushing) return;
      flushing = true;
      setTimeout(() => {
        flushing = false;
        const rows = pending;
        pending = [];
        append(rows);
      }, 100);
    };
    function saveHref() {
      const line = val(fields, 'line');
      save.href = '/api/trace.log' + Console.query({line});
    }
    async function load(after) {
      const q = Console.query({
        after: after || '',
        limit: 500,
        line: val(fields, 'line'),
        node: val(fields, 'node'),
        service: list(val(fields, 'service').toUpperCase()).join(',')
      });
      const r = await Console.get('/api/trace' + q);
      if (!body || paused) return;
      const fresh = (r.lines || []).filter((o) => o.seq > lastSeq);
      lastSeq = Math.max(lastSeq, r.last || 0, ...fresh.map((o) => o.seq));
      append(fresh.map(row));
    }
    function restart() {
      lastSeq = 0;
      pending = [];
      body.replaceChildren();
      saveHref();
      Console.wantTrace(true, Number(val(fields, 'line')) || 0);
      load(0).catch((e) => Console.message('error: ' + e.message));
    }
    Console.views.trace = {
      title: 'trace',
      show(root) {
        lastSeq = 0;
        paused = false;
        body = el('tbody', {'data-test': 'trace-body'});
        fields =
            [['line', 'line', 4], ['node', 'node id', 6], ['service', 'services: SDO,PDO', 18]];
        save = el(
            'a', {href: '/api/trace.log', download: 'canbus-trace.log', 'data-test': 'trace-save'},
            'save');
        const pause =
            el('button', {
              'data-test': 'trace-pause',
              onclick: () => {
                paused = !paused;
                pause.textContent = paused ? 'resume' : 'pause';
                if (!paused) load(lastSeq).catch(() => {});
              }
            },
               'pause');
        root.append(
            el('h2', {}, 'Bus trace'),
            el('div', {class: 'bar'}, filterBar(fields, restart), pause,
               el('button', {onclick: () => body.replaceChildren()}, 'clear'), save),
            el('div', {class: 'scroll'},
               el('table', {'data-test': 'trace-table'},
                  el('thead', {},
                     el('tr', {},
                        ['Time s', 'Line', 'Node', 'Service', 'Frame'].map(
                            (h) => el('th', {}, h)))),
                  body)));
        restart();
        stop = Console.every(
            1000, () => (Console.streamOpen() && lastSeq || paused ? null : load(lastSeq)));
        unlisten = Console.onStream((o) => {
          // While paused the lines are left to the server: resuming asks for them.
          if (o.type !== 'trace' || paused || o.seq <= lastSeq) return;
          lastSeq = o.seq;
          if (matches(o)) later(row(o));
        });
        // Lines made before the stream sent them (it opened after the first load) come by the API.
        unopen = Console.onStreamOpen(() => {
          if (!paused) load(lastSeq).catch(() => {});
        });
      },
      hide() {
        Console.wantTrace(false);
        if (unopen) unopen();
        if (stop) stop();
        if (unlisten) unlisten();
        body = null;
      },
    };
  }
})();
