// The console page: connects to the broker over MQTT on WebSockets, keeps
// the fleet picture (state.js) up to date from the bridges' topics and draws
// it; sends the form's commands with an MQTT 5 response topic and
// correlation data and shows each reply beside its command.
//
// Connection lifecycle (phase):
//   connecting --CONNACK ok--> online --lost--> connecting (the client retries)
//   connecting --refused for credentials--> login --form sent--> connecting
// Credentials live in this module's variables only: never in storage, gone
// with the tab.
// A classic script after vendor/mqtt.min.js, state.js, commands.js and
// neighbors.js, whose globals it takes.
(function () {
  'use strict';
  const { mqtt, OrvelState, OrvelCommands, OrvelNeighbors } = globalThis;
  const { applyMessage, createFleet, filterFeed, hex, nodeRows, relativeTime } = OrvelState;
  const { buildCommand, COMMANDS, commandById } = OrvelCommands;
  const { neighborMarks } = OrvelNeighbors;

  const params = new URLSearchParams(location.search);
  const prefix = params.get('prefix') || 'orvel';
  const brokerUrl = params.get('broker') || `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/`;
  const REPLY_WAIT_MS = 20000;
  const FEED_SHOWN = 100;
  const DRAW_MS = 200;

  const fleet = createFleet(prefix);
  const view = { board: null, sortKey: 'nodeId', descending: false, paused: false, held: 0 };
  const pending = new Map();  // correlation text -> its command log entry
  const clientId = 'orvel-console-' + Math.random().toString(16).slice(2, 10);
  const replyTopic = `${prefix}/_console/${clientId}/reply`;
  let client = null;
  let credentials = null;
  let phase = 'connecting';
  let sequence = 0;

  const $ = (id) => document.getElementById(id);
  function el(tag, props = {}, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(props)) {
      if (k === 'class') e.className = v;
      else if (k === 'text') e.textContent = v;
      else e.setAttribute(k, v);
    }
    e.append(...children);
    return e;
  }
  function svg(tag, attrs = {}, text) {
    const e = document.createElementNS('http://www.w3.org/2000/svg', tag);
    for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // ---- connection --------------------------------------------------------

  function setPhase(p, detail = '') {
    phase = p;
    const c = $('conn');
    c.textContent = detail || p;
    c.className = 'conn ' + (p === 'online' ? 'online' : p === 'connecting' ? '' : 'offline');
    $('login').hidden = p !== 'login';
  }

  function isCredentialRefusal(err) {
    // MQTT 5: 134 bad user name or password, 135 not authorized; 3.1.1: 4, 5.
    return err && [4, 5, 134, 135].includes(err.code);
  }

  function connect() {
    setPhase('connecting', 'connecting…');
    const options = { protocolVersion: 5, clientId, clean: true, reconnectPeriod: 2000, connectTimeout: 10000 };
    if (credentials) Object.assign(options, credentials);
    client = mqtt.connect(brokerUrl, options);
    client.on('connect', () => {
      setPhase('online', 'connected');
      client.subscribe([`${prefix}/+/status`, `${prefix}/+/stats`, `${prefix}/+/node/+`,
        `${prefix}/+/neighbors`, `${prefix}/+/rx/#`, replyTopic], { qos: 1 });
    });
    client.on('reconnect', () => setPhase('connecting', 'reconnecting…'));
    client.on('close', () => { if (phase === 'online') setPhase('connecting', 'connection lost, retrying…'); });
    client.on('error', (err) => {
      if (!isCredentialRefusal(err)) return;
      client.end(true);
      $('login-error').textContent = credentials ? 'Refused: ' + err.message : '';
      setPhase('login', 'needs credentials');
    });
    client.on('message', onMessage);
  }

  $('login').addEventListener('submit', (e) => {
    e.preventDefault();
    credentials = { username: $('login-user').value, password: $('login-pass').value };
    $('login-pass').value = '';
    connect();
  });

  // ---- messages ----------------------------------------------------------

  const dirty = new Set();
  let drawQueued = false;

  function onMessage(topic, payload, packet) {
    const text = new TextDecoder().decode(payload);
    if (topic === replyTopic) return onReply(text, packet.properties || {});
    const change = applyMessage(fleet, topic, text, Date.now());
    if (!change) return;
    if (!view.board) view.board = change.board.id;
    if (change.part === 'feed' && view.paused && change.board.id === view.board) view.held++;
    dirty.add(change.board.id === view.board ? change.part : 'fleet');
    if (change.part === 'status' || change.part === 'stats') dirty.add('fleet');
    queueDraw();
  }

  function queueDraw() {
    if (drawQueued) return;
    drawQueued = true;
    // At most five redraws a second, however busy the mesh: a table of
    // thousands of nodes is rebuilt whole.
    setTimeout(() => {
      drawQueued = false;
      draw([...dirty]);
      dirty.clear();
    }, DRAW_MS);
  }

  // ---- drawing -----------------------------------------------------------

  function draw(parts) {
    const all = parts.includes('all');
    if (all || parts.includes('fleet') || parts.includes('status') || parts.includes('stats')) drawFleet();
    const b = fleet.boards.get(view.board);
    $('board').hidden = !b;
    if (!b) return;
    $('board-id').textContent = b.id;
    if (all || parts.includes('nodes')) drawNodes(b);
    if (all || parts.includes('neighbors')) drawNeighbors(b);
    if (all || parts.includes('feed')) drawFeed(b);
  }

  function drawFleet() {
    const boards = [...fleet.boards.values()].sort((a, c) => a.id.localeCompare(c.id));
    if (!boards.length) return;
    $('boards').replaceChildren(...boards.map((b) => {
      const stats = el('dl');
      for (const [k, v] of Object.entries(b.stats || {})) stats.append(el('dt', { text: k }), el('dd', { text: String(v) }));
      const card = el('button', { type: 'button', class: `card ${b.status}${b.id === view.board ? ' selected' : ''}`, 'data-board': b.id },
        el('strong', { text: b.id }), ' ', el('span', { class: 'muted', text: `${b.status} · ${b.nodes.size} nodes` }), stats);
      card.addEventListener('click', () => { view.board = b.id; view.held = 0; draw(['all']); });
      return card;
    }));
  }

  function countsText(counts) {
    return Object.entries(counts).map(([k, n]) => `${k} ${n}`).join(', ');
  }

  function drawNodes(b) {
    const rows = nodeRows(b, { filter: $('node-filter').value, sortKey: view.sortKey, descending: view.descending });
    $('node-count').textContent = `${rows.length} of ${b.nodes.size}`;
    const now = Date.now();
    $('node-table').tBodies[0].replaceChildren(...rows.map((r) => el('tr', { 'data-node': r.nodeId },
      el('td', { text: String(r.nodeId) }),
      el('td', { text: r.hex }),
      el('td', { class: 'ago', 'data-ms': String(r.lastSeenMs), title: r.lastSeen || '', text: relativeTime(r.lastSeenMs, now) }),
      el('td', { title: countsText(r.counts), text: String(r.total) }),
      el('td', { text: r.rssi === null ? '' : String(r.rssi) }),
      el('td', { text: r.port === undefined ? '' : String(r.port) }),
      el('td', { text: r.uidHex + (r.nodeType === undefined ? '' : ` / ${r.nodeType}`) }))));
    for (const th of document.querySelectorAll('#node-table th[data-sort]')) {
      th.classList.toggle('sorted', th.dataset.sort === view.sortKey);
      th.classList.toggle('desc', view.descending);
    }
  }

  function drawNeighbors(b) {
    const pic = $('neighbor-svg');
    const list = b.neighbors ? b.neighbors.list : [];
    const marks = list.length ? neighborMarks(list, 300) : [];
    const parts = [svg('circle', { class: 'ring', cx: 150, cy: 150, r: 126 }), svg('circle', { class: 'ring', cx: 150, cy: 150, r: 51 })];
    for (const m of marks) parts.push(svg('line', { class: 'link', x1: 150, y1: 150, x2: m.x, y2: m.y }));
    parts.push(svg('circle', { class: 'module', cx: 150, cy: 150, r: 22 }),
      svg('text', { class: 'module-label', x: 150, y: 154 }, 'module'));
    for (const m of marks) {
      const g = svg('g', { class: 'neighbor', 'data-node': m.nodeId });
      g.append(svg('title', {}, `node ${m.nodeId} (${hex(m.nodeId)}), RSSI ${m.rssi}`),
        svg('circle', { cx: m.x, cy: m.y, r: 14, fill: m.color }),
        svg('text', { x: m.x, y: m.y + 27 }, `${m.nodeId} · ${m.rssi}`));
      parts.push(g);
    }
    pic.replaceChildren(...parts);
    $('neighbor-when').textContent = b.neighbors
      ? `${list.length} neighbours, list of ${b.neighbors.gwTimestamp || 'unknown time'}`
      : 'No neighbour list yet: send a neighborListRequest.';
  }

  function drawFeed(b) {
    if (view.paused) {
      $('feed-held').textContent = view.held ? `${view.held} new while paused` : '';
      return;
    }
    $('feed-held').textContent = '';
    const kinds = $('feed-kind');
    const known = new Set([...kinds.options].map((o) => o.value));
    for (const e of b.feed) if (!known.has(e.kind)) { kinds.append(el('option', { value: e.kind, text: e.kind })); known.add(e.kind); }
    const entries = filterFeed(b.feed, { kind: kinds.value, node: $('feed-node').value }).slice(-FEED_SHOWN).reverse();
    $('feed-list').replaceChildren(...entries.map((e) => el('li', { 'data-kind': e.kind },
      el('span', { class: 'muted', text: new Date(e.receivedMs).toLocaleTimeString() + ' ' }),
      el('span', { class: 'kind', text: e.kind }), el('code', { text: e.text }))));
  }

  // Relative times move on by themselves.
  setInterval(() => {
    const now = Date.now();
    for (const td of document.querySelectorAll('#node-table td.ago')) td.textContent = relativeTime(Number(td.dataset.ms), now);
  }, 1000);

  // ---- controls ----------------------------------------------------------

  $('node-filter').addEventListener('input', () => draw(['nodes']));
  for (const th of document.querySelectorAll('#node-table th[data-sort]')) {
    th.addEventListener('click', () => {
      view.descending = view.sortKey === th.dataset.sort ? !view.descending : th.dataset.sort !== 'nodeId';
      view.sortKey = th.dataset.sort;
      draw(['nodes']);
    });
  }
  $('feed-pause').addEventListener('click', () => {
    view.paused = !view.paused;
    view.held = 0;
    $('feed-pause').textContent = view.paused ? 'Resume' : 'Pause';
    draw(['feed']);
  });
  $('feed-kind').addEventListener('change', () => draw(['feed']));
  $('feed-node').addEventListener('input', () => draw(['feed']));

  // ---- commands ----------------------------------------------------------

  const kindSelect = $('command-kind');
  kindSelect.append(...COMMANDS.map((c) => el('option', { value: c.id, text: c.label })));
  function showFields() {
    const members = commandById(kindSelect.value).members;
    for (const label of document.querySelectorAll('#command-form [data-member]')) label.hidden = !members.includes(label.dataset.member);
  }
  kindSelect.addEventListener('change', showFields);
  showFields();

  $('command-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const form = e.target;
    const fields = Object.fromEntries([...form.querySelectorAll('input[name]')].map((i) => [i.name, i.value]));
    const built = buildCommand(kindSelect.value, fields);
    $('command-error').textContent = built.error || '';
    if (built.error) return;
    if (!client || phase !== 'online' || !view.board) {
      $('command-error').textContent = view.board ? 'Not connected to the broker' : 'No board selected';
      return;
    }
    const text = JSON.stringify(built.command);
    const correlation = `${clientId}-${++sequence}`;
    const reply = el('span', { class: 'reply', text: 'waiting for the reply…' });
    const entry = el('li', { class: 'command-entry', 'data-correlation': correlation },
      el('span', { class: 'kind', text: view.board }), el('code', { text }), reply);
    $('command-log').prepend(entry);
    pending.set(correlation, reply);
    setTimeout(() => {
      if (pending.delete(correlation)) { reply.textContent = 'no reply'; reply.className = 'reply error'; }
    }, REPLY_WAIT_MS);
    client.publish(`${prefix}/${view.board}/tx`, text, {
      qos: 1, properties: { responseTopic: replyTopic, correlationData: new TextEncoder().encode(correlation) },
    });
  });

  function onReply(text, properties) {
    const data = properties.correlationData;
    const correlation = data ? new TextDecoder().decode(data) : '';
    const reply = pending.get(correlation);
    if (!reply) return;
    pending.delete(correlation);
    let doc = {};
    try { doc = JSON.parse(text); } catch { /* shown as it came */ }
    reply.textContent = doc.status ? `${doc.status}${doc.content ? ': ' + doc.content : ''}` : text;
    reply.className = 'reply ' + (doc.status === 'ok' ? 'ok' : 'error');
  }

  // ---- start -------------------------------------------------------------

  $('prefix').textContent = `under ${prefix}/`;
  $('broker').textContent = brokerUrl;
  if (!params.get('broker') && location.protocol === 'file:') {
    setPhase('offline', 'opened as a file: name the broker with ?broker=ws://HOST:PORT');
  } else {
    connect();
  }
})();
