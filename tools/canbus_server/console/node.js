// A node's page: identity and supervision, NMT, its process values (with set-points for writers),
// its drive, emergencies with the device's error history (0x1003) and its objects by name.
'use strict';

(
    () => {
      const {el, writeControl, enc} = Console;
      let stop = null, name = '',
          shown = 0;  // shown: counts the pages shown, so a late load is dropped

      const sdoPath = (o) => '/api/nodes/' + enc(name) + '/sdo';

      function identity(n) {
        const id = n.identity || {};
        const pairs = [
          ['Line', n.line], ['Node id', n.id], ['Role', n.role],
          ['State', n.lost ? 'lost' : n.state], ['Condition', n.condition],
          ['Supervision', n.monitor], ['Boot', n.boot], ['Drive', n.drive],
          ['Device', id.manufacturer], ['Hardware', id.hardware], ['Software', id.software],
          ['Frames lost', n.frames_lost], ['Lost since', n.lost_since || '-']
        ];
        return el(
            'dl', {'data-test': 'identity'},
            pairs.map(
                ([k,
                  v]) => [el('dt', {}, k), el('dd', {}, v === undefined || v === null ? '-' : v)]));
      }

      function nmtBar() {
        if (!Console.me.writer) return null;
        return el(
            'div', {class: 'bar'}, 'NMT:',
            ['start', 'stop', 'preop', 'reset', 'reset-comm'].map(
                (c) => writeControl(
                    'button', {
                      'data-test': 'nmt-' + c,
                      onclick: () => Console.post('/api/nodes/' + enc(name) + '/nmt', {command: c})
                                         .catch(() => {})
                    },
                    c)));
      }

      function valueRow(v) {
        let setter = null;
        if (v.writable && Console.me.writer) {
          const input = writeControl('input', {
            'data-test': 'setpoint-input',
            'data-name': v.name,
            size: 8,
            'aria-label': 'set-point of ' + v.name
          });
          const go = () => {
            const x = Number(input.value);
            if (input.value.trim() === '' || !Number.isFinite(x)) {
              Console.message('error: not a number');
              return;
            }
            Console.post('/api/values/' + enc(v.name), {value: x})
                .then(() => values())
                .catch(() => {});
          };
          input.addEventListener('keydown', (e) => {
            if (e.key === 'Enter') go();
          });
          setter = [
            input,
            writeControl(
                'button', {'data-test': 'setpoint-set', 'data-name': v.name, onclick: go}, 'set')
          ];
        }
        const cells = {
          text: el('td', {'data-test': 'value-text'}),
          alarm: el('td', {}),
          time: el('td', {class: 'muted'})
        };
        const tr =
            el('tr', {'data-test': 'value-row', 'data-name': v.name},
               el('td', {}, el('a', {href: '#/plots/' + enc(v.name)}, v.name)), cells.text,
               cells.alarm, cells.time, el('td', {}, v.pdo || ''), el('td', {}, setter));
        tr.cells_ = cells;
        return tr;
      }

      // The rows are made once; every refresh sets their texts, so a set-point being typed stays.
      function fill(tr, v) {
        const c = tr.cells_;
        c.text.textContent = v.text || '-';
        c.text.className = 'num alarm-' + (v.alarm || 'none');
        c.alarm.textContent = v.alarm && v.alarm !== 'none' ? v.alarm : '';
        c.time.textContent = v.time || '-';
      }

      let valuesBody = null, valueNames = [];
      const valueRows = new Map();
      async function values() {
        if (!valueNames.length || !valuesBody) return;
        const {values: all} = await Console.get('/api/values');
        if (!valuesBody) return;
        for (const v of all.filter((x) => valueNames.includes(x.name))) {
          if (!valueRows.has(v.name)) {
            valueRows.set(v.name, valueRow(v));
            valuesBody.append(valueRows.get(v.name));
          }
          fill(valueRows.get(v.name), v);
        }
      }

      function driveBar(n) {
        if (!n.drive || n.drive === '-' || !Console.me.writer) return null;
        const drv = (c) => () =>
            Console.post('/api/drives/' + enc(name), {command: c}).catch(() => {});
        const target = writeControl(
            'input', {'data-test': 'drive-target', size: 8, 'aria-label': 'target position'});
        return el(
            'div', {class: 'bar'}, 'Drive:',
            ['enable', 'disable', 'home', 'halt', 'stop', 'quickstop', 'reset'].map(
                (c) => writeControl('button', {'data-test': 'drive-' + c, onclick: drv(c)}, c)),
            target,
            writeControl(
                'button', {
                  'data-test': 'drive-move',
                  onclick: () => Console
                                     .post(
                                         '/api/request',
                                         {line: 'drive ' + name + ' move ' + target.value.trim()})
                                     .catch(() => {})
                },
                'move'));
      }

      // The device's error history: 0x1003 sub 0 is the number of entries, subs 1.. the codes.
      async function history(out) {
        out.replaceChildren('reading ...');
        try {
          const n0 = await Console.get(sdoPath() + Console.query({index: '0x1003', sub: 0}));
          const n = Math.min(Number(n0.value) || 0, 254);
          const rows = [];
          for (let s = 1; s <= n; ++s) {
            const r = await Console.get(sdoPath() + Console.query({index: '0x1003', sub: s}));
            const code = Number(r.value);
            rows.push(
                el('tr', {}, el('td', {class: 'num'}, s),
                   el('td', {class: 'mono'},
                      Number.isFinite(code) ?
                          '0x' + (code >>> 0).toString(16).toUpperCase().padStart(8, '0') :
                          r.text)));
          }
          out.replaceChildren(
              n ? el('table', {'data-test': 'emcy-history'},
                     el('tr', {}, el('th', {}, 'Sub'), el('th', {}, 'Error (info, code)')), rows) :
                  el('span', {'data-test': 'emcy-history'}, 'no errors kept by the device'));
        } catch (e) {
          out.replaceChildren(el('span', {'data-test': 'emcy-history'}, 'error: ' + e.message));
        }
      }

      function objectRow(o) {
        const out = el('td', {class: 'mono wrap', 'data-test': 'object-value'}, '');
        const read = () => {
          out.textContent = '...';
          Console.get(sdoPath() + Console.query({index: o.index, sub: o.sub}))
              .then((r) => {
                out.textContent = r.text !== undefined ? r.text : JSON.stringify(r.value);
              })
              .catch((e) => {
                out.textContent = 'error: ' + e.message;
              });
        };
        let write = null;
        if (Console.me.writer && /w/.test(o.access || '')) {
          const input = writeControl(
              'input',
              {size: 10, 'data-test': 'object-input', 'aria-label': 'value for ' + o.name});
          write = [
            input,
            writeControl(
                'button', {
                  'data-test': 'object-write',
                  onclick: () =>
                      Console.post(sdoPath(), {index: o.index, sub: o.sub, value: input.value})
                          .then(read)
                          .catch(() => {})
                },
                'write')
          ];
        }
        const readable = /r|const/.test(o.access || '');
        return el(
            'tr', {'data-test': 'object-row', 'data-index': o.index, 'data-sub': o.sub},
            el('td', {class: 'mono'}, o.index + ':' + String(o.sub).padStart(2, '0')),
            el('td', {class: 'wrap'}, o.name), el('td', {}, o.type), el('td', {}, o.access),
            el('td', {class: 'mono wrap'},
               o.default === null || o.default === undefined ? '' : o.default),
            el('td', {}, o.pdo ? 'PDO' : ''),
            el('td', {},
               readable ? el('button', {'data-test': 'object-read', onclick: read}, 'read') : null),
            out, el('td', {}, write));
      }

      async function objects(body, text) {
        try {
          const {objects: list} =
              await Console.get('/api/nodes/' + enc(name) + '/od' + Console.query({search: text}));
          body.replaceChildren(...list.slice(0, 500).map(objectRow));
          if (list.length > 500)
            body.append(
                el('tr', {},
                   el('td', {colspan: 9}, (list.length - 500) + ' more: narrow the search')));
        } catch (e) {
          body.replaceChildren(el('tr', {}, el('td', {colspan: 9}, 'error: ' + e.message)));
        }
      }

      Console.views.node =
          {
            title: 'node',
            async show(root, arg) {
              name = arg;
              const mine = ++shown;
              const head = el('div', {}, 'loading ' + name + ' ...');
              root.append(el('h2', {'data-test': 'node-name'}, name), head);
              let n;
              try {
                n = (await Console.get('/api/nodes')).nodes.find((x) => x.name === name);
              } catch (e) {
                head.textContent = 'error: ' + e.message;
                return;
              }
              if (mine !== shown) return;
              if (!n) {
                head.textContent = 'no node ' + name;
                return;
              }
              valueNames = n.values || [];
              valueRows.clear();
              valuesBody = el('tbody', {'data-test': 'values-body'});
              const hist = el('div', {});
              const search = el('input', {
                type: 'search',
                'data-test': 'od-search',
                placeholder: 'name or index',
                'aria-label': 'search objects'
              });
              const odBody = el('tbody', {'data-test': 'od-body'});
              let t = null;
              search.addEventListener('input', () => {
                clearTimeout(t);
                t = setTimeout(() => objects(odBody, search.value.trim()), 250);
              });
              const e = n.last_emergency;
              head.replaceWith(el('div', {class: 'grid2'},
        el('section', {}, el('h3', {}, 'Identity and supervision'), identity(n), nmtBar(), driveBar(n)),
        el('section', {},
          el('h3', {}, 'Emergencies'),
          el('div', {'data-test': 'emergencies'}, n.emergencies + ' received; last: ',
             e ? e.code + ' register ' + e.register + ' ' + e.text + ' at ' + e.at : '-'),
          el('div', {class: 'bar'}, el('button', {'data-test': 'emcy-history-read', onclick: () => history(hist)}, 'read error history (0x1003)')),
          hist,
          el('h3', {}, 'Process values'),
          el('table', {}, el('thead', {}, el('tr', {}, ['Value', 'Now', 'Alarm', 'Time', 'PDO', ''].map((h) => el('th', {}, h)))), valuesBody))),
        el('section', {}, el('h3', {}, 'Objects'), el('div', {class: 'bar'}, search),
          el('div', {class: 'scroll'}, el('table', {'data-test': 'od-table'},
            el('thead', {}, el('tr', {}, ['Object', 'Name', 'Type', 'Access', 'Default', '', '', 'Value', ''].map((h) => el('th', {}, h)))),
            odBody))));
              stop = Console.every(1000, values);
              objects(odBody, '');
            },
            hide() {
              ++shown;
              if (stop) stop();
              stop = null;
              valuesBody = null;
              valueRows.clear();
            },
          };
    })();
