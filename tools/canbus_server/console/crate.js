// The crate: one row a node, coloured by its state, refreshed every second and at once when the
// stream tells of a state change, a loss or an emergency.
'use strict';

(() => {
  const {el} = Console;

  // The row's class and the state shown: lost wins over the last state heard.
  function stateOf(n) {
    if (n.lost) return ['lost', 'state-lost'];
    const s = n.state || '';
    if (s === 'Operational') return [s, 'state-operational'];
    if (/^pre-?operational$/i.test(s)) return [s, 'state-preop'];
    if (s === 'Stopped') return [s, 'state-stopped'];
    return [s || '-', ''];
  }

  function emcyText(e) { return e ? e.code + ' ' + e.text + (e.at ? ' (' + e.at + ')' : '') : '-'; }

  function row(n) {
    const [state, cls] = stateOf(n);
    const pdo = n.pdo || {};
    const late = n.late || (pdo.late && pdo.late !== '-' && pdo.late !== '0');
    const tr =
        el('tr', {
          'data-test': 'crate-row',
          'data-name': n.name,
          'data-state': state,
          class: [cls, late ? 'late' : ''].join(' ').trim()
        },
           el('td', {},
              el('a', {href: '#/node/' + Console.enc(n.name), 'data-test': 'node-link'}, n.name)),
           el('td', {class: 'num'}, n.line), el('td', {class: 'num'}, n.id),
           // The time of day it was lost; the whole stamp on the node's page.
           el('td', {'data-test': 'state', title: n.lost_since || null}, state,
              n.lost && n.lost_since ? ' since ' + n.lost_since.slice(11, 19) : ''),
           el('td', {'data-test': 'condition', class: 'wrap'}, n.condition || ''),
           el('td', {'data-test': 'emergency', class: 'wrap'}, emcyText(n.last_emergency),
              n.emergencies ? ' [' + n.emergencies + ']' : ''),
           el('td', {class: 'num pdo-age'}, pdo.age || '-'),
           el('td', {class: 'num'}, pdo.rate || '-'), el('td', {}, n.drive || '-'),
           el('td', {'data-test': 'boot', class: 'wrap'}, n.boot || '-'));
    return tr;
  }

  let stop = null, unlisten = null, tbody = null, refreshSoon = null;

  async function refresh() {
    const {nodes} = await Console.get('/api/nodes');
    if (!tbody) return;
    tbody.replaceChildren(...nodes.map(row));
    const stamp = document.querySelector('[data-test="crate-updated"]');
    if (stamp) stamp.textContent = 'updated ' + new Date().toLocaleTimeString();
  }

  Console.views.crate = {
    title: 'crate',
    show(root) {
      tbody = el('tbody', {'data-test': 'crate-body'});
      root.append(
          el('div', {class: 'bar'}, el('h2', {}, 'Crate'),
             el('span', {class: 'muted', 'data-test': 'crate-updated'}, '')),
          el('table', {'data-test': 'crate-table'},
             el('thead', {},
                el('tr', {},
                   [
                     'Name', 'Line', 'Id', 'State', 'Condition', 'Last emergency', 'PDO age',
                     'PDO rate', 'Drive', 'Boot'
                   ].map((h) => el('th', {scope: 'col'}, h)))),
             tbody));
      stop = Console.every(1000, refresh);
      unlisten = Console.onStream((o) => {
        if (o.type !== 'event' || o.kind === 'value') return;
        clearTimeout(refreshSoon);
        refreshSoon = setTimeout(() => refresh().catch(() => {}), 100);
      });
    },
    hide() {
      if (stop) stop();
      if (unlisten) unlisten();
      clearTimeout(refreshSoon);
      tbody = null;
    },
  };
})();
