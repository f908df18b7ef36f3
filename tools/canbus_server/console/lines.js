// The lines: bus load over time per line, and the commissioning assistant (scan, LSS) for writers.
'use strict';

(() => {
  const {el} = Console;

  function drawLoad(c, hist) {
    const r = c.getBoundingClientRect(), dpr = window.devicePixelRatio || 1;
    const w = Math.max(100, Math.round(r.width)), h = Math.max(60, Math.round(r.height));
    c.width = w * dpr;
    c.height = h * dpr;
    const g = c.getContext('2d');
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    const L = 40, B = 16, T = 4, R = 6;
    const top = Math.max(0.05, ...hist.map((x) => x.load)) * 1.1;
    g.strokeStyle = '#999';
    g.strokeRect(L, T, w - L - R, h - T - B);
    g.fillStyle = '#333';
    g.font = '11px sans-serif';
    g.textAlign = 'right';
    g.fillText((top * 100).toFixed(1) + ' %', L - 3, T + 10);
    g.fillText('0 %', L - 3, h - B);
    if (hist.length < 2) return;
    const t0 = hist[0].t_ms, t1 = hist[hist.length - 1].t_ms;
    const X = (t) => L + (t - t0) / Math.max(1, t1 - t0) * (w - L - R);
    const Y = (v) => T + (1 - v / top) * (h - T - B);
    g.textAlign = 'left';
    g.fillText(new Date(t0).toTimeString().slice(0, 8), L, h - 3);
    g.textAlign = 'right';
    g.fillText(new Date(t1).toTimeString().slice(0, 8), w - R, h - 3);
    g.strokeStyle = '#0b4f9c';
    g.lineWidth = 1.5;
    g.beginPath();
    hist.forEach((x, i) => (i ? g.lineTo(X(x.t_ms), Y(x.load)) : g.moveTo(X(x.t_ms), Y(x.load))));
    g.stroke();
  }

  let stop = null;
  Console.views.lines = {
    title: 'bus load',
    show(root) {
      const body = el('tbody', {'data-test': 'lines-body'});
      const plots = el('div', {});
      root.append(
          el('h2', {}, 'Lines and bus load'),
          el('table', {'data-test': 'lines-table'},
             el('thead', {},
                el('tr', {},
                   [
                     'Line', 'Open', 'Bit rate', 'Load', 'Sent', 'Received', 'Errors', 'Reopenings'
                   ].map((h) => el('th', {}, h)))),
             body),
          plots);
      const canvases = new Map();
      stop = Console.every(2000, async () => {
        const {lines} = await Console.get('/api/lines');
        body.replaceChildren(...lines.map(
            (l) =>
                el('tr', {'data-test': 'line-row', 'data-line': l.line},
                   el('td', {class: 'num'}, l.line), el('td', {}, l.open ? 'open' : 'closed'),
                   el('td', {class: 'num'}, l.bitrate ? l.bitrate / 1000 + ' kbit/s' : '-'),
                   el('td', {class: 'num'},
                      l.load === undefined ? '-' : (l.load * 100).toFixed(1) + ' %'),
                   el('td', {class: 'num'}, l.frames_sent),
                   el('td', {class: 'num'}, l.frames_received), el('td', {class: 'num'}, l.errors),
                   el('td', {class: 'num'}, l.reopenings))));
        for (const l of lines) {
          if (!canvases.has(l.line)) {
            const c = el('canvas', {
              'data-test': 'load-canvas',
              'data-line': l.line,
              role: 'img',
              'aria-label': 'bus load of line ' + l.line
            });
            canvases.set(l.line, c);
            plots.append(
                el('div', {class: 'plot'},
                   el('div', {class: 'bar'}, el('strong', {}, 'line ' + l.line)), c));
          }
          drawLoad(canvases.get(l.line), l.load_history || []);
        }
      });
    },
    hide() {
      if (stop) stop();
    },
  };

  // Scan and LSS: the answer lines as the server gives them.
  Console.views.scan = {
    title: 'scan and LSS',
    async show(root) {
      root.append(el('h2', {}, 'Scan and LSS'));
      if (!Console.me.writer) {
        root.append(
            el('p', {'data-test': 'scan-read-only'},
               'A scan and LSS services need write access; this client is read-only.'));
        return;
      }
      const line = el('select', {'data-test': 'scan-line', 'aria-label': 'line'});
      const out = el('pre', {'data-test': 'scan-result'}, '');
      const words = Console.writeControl('input', {
        'data-test': 'lss-words',
        size: 50,
        placeholder: 'fastscan | set-id VENDOR PRODUCT REVISION SERIAL ID --store | ...',
        'aria-label': 'LSS request'
      });
      const run = (path, body) => {
        out.textContent = 'running ...';
        Console.post(path, body)
            .then((r) => {
              out.textContent = (r.answer || ['ok']).join('\n');
            })
            .catch((e) => {
              out.textContent = 'error: ' + e.message;
            });
      };
      root.append(
          el('div', {class: 'bar'}, 'Line', line,
             Console.writeControl(
                 'button', {
                   'data-test': 'scan-run',
                   onclick: () => run('/api/lines/' + line.value + '/scan', {})
                 },
                 'scan')),
          el('div', {class: 'bar'}, 'LSS', words,
             Console.writeControl(
                 'button', {
                   'data-test': 'lss-run',
                   onclick: () =>
                       run('/api/lines/' + line.value + '/lss',
                           {words: words.value.trim().split(/\s+/).filter(Boolean)})
                 },
                 'send')),
          out);
      try {
        const {lines} = await Console.get('/api/lines');
        line.replaceChildren(...lines.map((l) => el('option', {value: l.line}, l.line)));
      } catch (e) {
        Console.message('error: ' + e.message);
      }
    },
  };
})();
