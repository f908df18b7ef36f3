// Live plots of process values: the history (each value interval's last, lowest and highest value)
// drawn as a line in a min/max band, new points from the stream's value events and from the
// history asked again every two seconds; zoom on the time axis by the mouse wheel or the buttons,
// pause to hold the view while points still come in.
'use strict';

(() => {
  const {el, enc} = Console;
  const plots = new Map();  // name -> plot
  let stopPoll = null, unlisten = null, timer = null, list = null, chooser = null;
  const SPANS = [10e3, 30e3, 60e3, 120e3, 300e3, 600e3, 1800e3, 3600e3];

  function addPoint(p, pt) {
    const pts = p.pts;
    if (!pts.length || pts[pts.length - 1][0] < pt[0])
      pts.push(pt);
    else {  // rarely out of order (history after stream): keep the points sorted by time
      let i = pts.length;
      while (i > 0 && pts[i - 1][0] > pt[0]) --i;
      if (i > 0 && pts[i - 1][0] === pt[0]) return;
      pts.splice(i, 0, pt);
    }
    if (pts.length > 20000) pts.splice(0, pts.length - 20000);
  }

  function fmtTime(t) {
    const d = new Date(t);
    return d.toTimeString().slice(0, 8);
  }

  function draw(p) {
    const c = p.canvas, r = c.getBoundingClientRect();
    const dpr = window.devicePixelRatio || 1;
    const w = Math.max(100, Math.round(r.width)), h = Math.max(60, Math.round(r.height));
    if (c.width !== w * dpr || c.height !== h * dpr) {
      c.width = w * dpr;
      c.height = h * dpr;
    }
    const g = c.getContext('2d');
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, w, h);
    const last = p.pts.length ? p.pts[p.pts.length - 1][0] : Date.now();
    const end = p.paused ? p.end : Math.max(Date.now(), last);
    p.end = end;
    const span = SPANS[p.zoom], start = end - span;
    const seen = p.pts.filter((q) => q[0] >= start - span * 0.05 && q[0] <= end);
    const L = 64, R = 8, T = 6, B = 18;
    let lo = Infinity, hi = -Infinity;
    for (const q of seen) {
      lo = Math.min(lo, q[2], q[1]);
      hi = Math.max(hi, q[3], q[1]);
    }
    if (!Number.isFinite(lo)) {
      lo = 0;
      hi = 1;
    }
    if (hi - lo < 1e-9) {
      lo -= 1;
      hi += 1;
    }
    const pad = (hi - lo) * 0.05;
    lo -= pad;
    hi += pad;
    const X = (t) => L + (t - start) / span * (w - L - R);
    const Y = (v) => T + (hi - v) / (hi - lo) * (h - T - B);
    g.strokeStyle = '#999';
    g.lineWidth = 1;
    g.strokeRect(L, T, w - L - R, h - T - B);
    g.fillStyle = '#333';
    g.font = '11px sans-serif';
    g.textAlign = 'right';
    for (let i = 0; i <= 4; ++i) {
      const v = lo + (hi - lo) * i / 4;
      g.fillText(Number(v.toPrecision(5)).toString(), L - 3, Y(v) + 4);
    }
    g.textAlign = 'center';
    for (let i = 0; i <= 4; ++i) {
      const t = start + span * i / 4;
      g.fillText(fmtTime(t), Math.min(Math.max(X(t), L + 24), w - R - 24), h - 4);
    }
    if (!seen.length) return;
    g.save();
    g.beginPath();
    g.rect(L, T, w - L - R, h - T - B);
    g.clip();
    g.fillStyle = 'rgba(11, 79, 156, 0.18)';
    g.beginPath();
    seen.forEach((q, i) => (i ? g.lineTo(X(q[0]), Y(q[3])) : g.moveTo(X(q[0]), Y(q[3]))));
    for (let i = seen.length - 1; i >= 0; --i) g.lineTo(X(seen[i][0]), Y(seen[i][2]));
    g.closePath();
    g.fill();
    g.strokeStyle = '#0b4f9c';
    g.lineWidth = 1.5;
    g.beginPath();
    seen.forEach((q, i) => (i ? g.lineTo(X(q[0]), Y(q[1])) : g.moveTo(X(q[0]), Y(q[1]))));
    g.stroke();
    g.restore();
  }

  function update(p) {
    p.count.textContent = p.pts.length + ' points';
    p.box.setAttribute('data-points', p.pts.length);
    const q = p.pts[p.pts.length - 1];
    p.now.textContent = q ? q[1] + ' ' + (p.unit || '') : '-';
    if (!p.paused) draw(p);
  }

  async function fetchHistory(p) {
    const since = p.histT ? p.histT + 1 : Date.now() - 3600e3;
    const h = await Console.get(
        '/api/values/' + enc(p.name) + '/history' + Console.query({since_ms: since}));
    if (h.unit !== undefined) p.unit = h.unit;
    for (const q of h.points || []) {
      addPoint(p, q.map(Number));
      p.histT = Math.max(p.histT || 0, Number(q[0]));
    }
    update(p);
  }

  function zoom(p, d) {
    p.zoom = Math.min(SPANS.length - 1, Math.max(0, p.zoom + d));
    p.span.textContent = SPANS[p.zoom] / 1000 + ' s';
    draw(p);
  }

  function add(name) {
    if (!name || plots.has(name)) return;
    const p = {name, pts: [], zoom: 2, paused: false, end: 0, histT: 0, unit: ''};
    p.canvas =
        el('canvas', {'data-test': 'plot-canvas', role: 'img', 'aria-label': 'plot of ' + name});
    p.count = el('span', {class: 'muted'}, '0 points');
    p.now = el('span', {class: 'mono'}, '-');
    p.span = el('span', {class: 'muted'}, SPANS[p.zoom] / 1000 + ' s');
    const pause =
        el('button', {
          'data-test': 'plot-pause',
          onclick: () => {
            p.paused = !p.paused;
            pause.textContent = p.paused ? 'resume' : 'pause';
            draw(p);
          }
        },
           'pause');
    p.box = el(
        'div', {class: 'plot', 'data-test': 'plot', 'data-name': name, 'data-points': 0},
        el('div', {class: 'bar'}, el('strong', {}, name), p.now, p.count,
           el('button',
              {'data-test': 'plot-zoom-in', 'aria-label': 'zoom in', onclick: () => zoom(p, -1)},
              '+'),
           el('button',
              {'data-test': 'plot-zoom-out', 'aria-label': 'zoom out', onclick: () => zoom(p, 1)},
              '\u2212'),
           p.span, pause,
           el('button', {
             'data-test': 'plot-remove',
             onclick: () => {
               plots.delete(name);
               p.box.remove();
               hashSync();
             }
           },
              'remove')),
        p.canvas);
    p.canvas.addEventListener('wheel', (e) => {
      e.preventDefault();
      zoom(p, e.deltaY > 0 ? 1 : -1);
    }, {passive: false});
    plots.set(name, p);
    list.append(p.box);
    hashSync();
    fetchHistory(p).catch((e) => Console.message('error: ' + e.message));
  }

  function hashSync() {
    const h = '#/plots/' + [...plots.keys()].map(enc).join(',');
    if (location.hash !== h) history.replaceState(null, '', h);
  }

  // A value event's number: its field if the stream gives one, else from its text ("value line 2
  // node 10 CAN.MAGNET.CURRENT 1500 mA").
  function eventValue(o) {
    if (typeof o.value === 'number') return o.value;
    const i = (o.text || '').indexOf(' ' + o.name + ' ');
    return i < 0 ? NaN : parseFloat(o.text.slice(i + o.name.length + 2));
  }

  Console.views.plots = {
    title: 'plots',
    show(root, arg) {
      list = el('div', {'data-test': 'plots'});
      chooser = el('select', {'data-test': 'plot-choose', 'aria-label': 'value to plot'});
      root.append(
          el('div', {class: 'bar'}, el('h2', {}, 'Plots'), chooser,
             el('button', {'data-test': 'plot-add', onclick: () => add(chooser.value)}, 'plot')),
          list);
      Console.get('/api/values')
          .then(({values}) => {
            chooser.replaceChildren(...values.map(
                (v) =>
                    el('option', {value: v.name}, v.name + (v.unit ? ' [' + v.unit + ']' : ''))));
          })
          .catch((e) => Console.message('error: ' + e.message));
      for (const n of (arg || '').split(','))
        if (n) add(decodeURIComponent(n));
      stopPoll = Console.every(2000, () => Promise.all([...plots.values()].map(fetchHistory)));
      timer = setInterval(
          () => plots.forEach((p) => {
            if (!p.paused) draw(p);
          }),
          500);
      unlisten = Console.onStream((o) => {
        if (o.type !== 'event' || o.kind !== 'value' || !plots.has(o.name)) return;
        const v = eventValue(o);
        if (!Number.isFinite(v) || !o.t_ms) return;
        const p = plots.get(o.name);
        addPoint(p, [o.t_ms, v, v, v]);
        update(p);
      });
    },
    hide() {
      if (stopPoll) stopPoll();
      if (unlisten) unlisten();
      clearInterval(timer);
      plots.clear();
    },
  };
})();
