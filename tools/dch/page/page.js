// The qdvp-dch page: reads the JSON endpoints (/api/...) and draws them as tables and small
// charts, again every few seconds. Every value is put in as text, never as markup.
'use strict';

const REFRESH_MS = 3000;

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(c ?? ''));
  return e;
}

function show(value) {
  if (value === null || value === undefined) return '';
  return typeof value === 'object' ? JSON.stringify(value) : String(value);
}

// Fills table with a header row and one row per item; columns: [title, item => value, class].
function fill(table, columns, items, emptyText) {
  table.replaceChildren();
  table.append(el('tr', {}, ...columns.map(c => el('th', {}, c[0]))));
  for (const item of items) {
    table.append(el('tr', {}, ...columns.map(c => {
      const value = c[1](item);
      const cls = typeof c[2] === 'function' ? c[2](item) : c[2];
      return el('td', cls ? { class: cls } : {}, show(value));
    })));
  }
  if (!items.length) {
    table.append(el('tr', {}, el('td', { colspan: columns.length, class: 'empty' }, emptyText)));
  }
}

async function get(path, params) {
  const query = new URLSearchParams(params || {}).toString();
  const response = await fetch(path + (query ? '?' + query : ''), { cache: 'no-store' });
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

// Rows per minute as bars, the last hour, newest on the right.
function chart(minutes) {
  const ns = 'http://www.w3.org/2000/svg';
  const w = 240, h = 70, top = Math.max(1, ...minutes.map(m => m.rows));
  const svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('class', 'chart');
  svg.setAttribute('width', w);
  svg.setAttribute('height', h + 14);
  const bar = w / minutes.length;
  minutes.forEach((m, i) => {
    const r = document.createElementNS(ns, 'rect');
    const bh = Math.round((m.rows / top) * h);
    r.setAttribute('x', (i * bar).toFixed(1));
    r.setAttribute('y', h - bh);
    r.setAttribute('width', Math.max(1, bar - 1).toFixed(1));
    r.setAttribute('height', bh);
    const t = document.createElementNS(ns, 'title');
    t.textContent = m.minute + ': ' + m.rows + ' rows';
    r.append(t);
    svg.append(r);
  });
  const label = document.createElementNS(ns, 'text');
  label.setAttribute('x', 2);
  label.setAttribute('y', h + 11);
  label.textContent = 'rows per minute, last hour (most ' + top + ')';
  svg.append(label);
  return svg;
}

async function drawTable(host, app, table) {
  const where = { host: host, application: app.name, table: table.name };
  const [rows, rate] = await Promise.all([get('/api/rows', { ...where, limit: 10 }),
                                          get('/api/rate', where)]);
  const names = table.attributes.map(a => a.name);
  const grid = el('table', { class: 'grid' });
  fill(grid, [['received', r => r.received_at], ['source', r => r.source],
              ...names.map(n => [n, r => (r.attrs || {})[n]])],
       rows.rows, 'no rows yet');
  return el('div', {},
            el('h3', {}, `${host} · ${app.name} / ${table.name}`,
               el('span', { class: 'offline' },
                  `  ${table.sources_online} online, ${table.sources_offline} offline`)),
            el('div', { class: 'table-block' }, grid, chart(rate.minutes)));
}

async function refresh() {
  const status = document.getElementById('status');
  try {
    const [summary, apps, sources, log, actions] = await Promise.all([
      get('/api/summary'), get('/api/applications'), get('/api/sources', { limit: 50 }),
      get('/api/log', { limit: 15 }), get('/api/actions', { limit: 20 })]);
    document.getElementById('where').textContent =
        `host ${summary.host} · ${summary.store} · ${summary.hosts.length} host(s)`;
    fill(document.getElementById('applications'),
         [['host', a => a.host], ['application', a => a.name], ['registered', a => a.registered_at],
          ['registrations', a => a.registrations, 'num'],
          ['state', a => a.unregistered_at ? 'unregistered ' + a.unregistered_at : 'registered',
           a => a.unregistered_at ? 'offline' : 'online'],
          ['tables', a => a.tables.map(t => t.name).join(', ')],
          ['sources online', a => a.tables.reduce((n, t) => n + t.sources_online, 0), 'num'],
          ['offline', a => a.tables.reduce((n, t) => n + t.sources_offline, 0), 'num']],
         apps.applications, 'no data provider has registered');
    fill(document.getElementById('sources'),
         [['host', s => s.host], ['handle', s => s.handle, 'num'],
          ['application', s => s.application], ['table', s => s.table], ['source', s => s.source],
          ['state', s => s.online ? 'online' : 'offline', s => s.online ? 'online' : 'offline'],
          ['online at', s => s.online_at], ['offline at', s => s.offline_at]],
         sources.sources, 'no sources');
    const blocks = [];
    for (const app of apps.applications) {
      for (const table of app.tables) {
        if (app.name === 'OmniVar') continue;  // the DP log and action report, below
        blocks.push(await drawTable(app.host, app, table));
      }
    }
    document.getElementById('tables').replaceChildren(
        ...(blocks.length ? blocks : [el('p', { class: 'empty' }, 'no tables yet')]));
    fill(document.getElementById('log'),
         [['received', r => r.received_at], ['host', r => r.host],
          ['category', r => (r.attrs || {}).DP_Log_Category],
          ['text', r => (r.attrs || {}).DP_Log_Text]],
         log.rows, 'no DP log messages');
    fill(document.getElementById('actions'),
         [['host', a => a.host], ['id', a => a.id, 'num'], ['sent', a => a.sent_at],
          ['node', a => a.node], ['name', a => a.name], ['parameter', a => a.parameter],
          ['owner', a => a.owner], ['status', a => a.status, 'num'], ['result', a => a.result],
          ['answered', a => a.status_at]],
         actions.actions, 'no take actions');
    status.textContent = 'updated ' + new Date().toLocaleTimeString();
    status.className = 'status';
    document.body.dataset.loaded = 'yes';
  } catch (e) {
    status.textContent = 'not updated: ' + e.message;
    status.className = 'status bad';
  }
  setTimeout(refresh, REFRESH_MS);
}

refresh();
