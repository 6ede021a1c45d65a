// The console's picture of a fleet, built from the MQTT messages the bridges
// publish under <prefix>/<gatewayId>/: status, stats, node/<id>, neighbors
// and rx/<objectType>. Pure functions over plain objects, so the page and
// `node --test` share them; nothing here touches the DOM or the network.
// A classic script (the broker serves files without a MIME type, which
// module scripts need): globalThis.OrvelState in the page, module.exports in node.
(function (api) {
  'use strict';

  const FEED_LIMIT = 300;

  function createFleet(prefix) {
    return { prefix, boards: new Map() };
  }

  function board(fleet, id) {
    let b = fleet.boards.get(id);
    if (!b) {
      b = { id, status: 'unknown', stats: null, nodes: new Map(), neighbors: null, feed: [] };
      fleet.boards.set(id, b);
    }
    return b;
  }

  function parseJson(text) {
    try {
      const v = JSON.parse(text);
      return v && typeof v === 'object' && !Array.isArray(v) ? v : null;
    } catch {
      return null;
    }
  }

  // The node ids a document is about, as the bridge's table counts them.
  function docNodeIds(doc) {
    if (doc.objectType === 'neighborListReply' && Array.isArray(doc.neighbors))
      return doc.neighbors.map((n) => n.nodeId).filter(Number.isInteger);
    return Number.isInteger(doc.nodeId) ? [doc.nodeId] : [];
  }

  // Takes one message; returns what it changed ({ board, part }) or null when
  // the topic is not one of a board's.
  function applyMessage(fleet, topic, text, nowMs) {
    const head = fleet.prefix + '/';
    if (!topic.startsWith(head)) return null;
    const [id, kind, ...rest] = topic.slice(head.length).split('/');
    if (!id || !kind) return null;
    if (kind === 'status' && rest.length === 0) {
      const b = board(fleet, id);
      b.status = text === 'online' ? 'online' : 'offline';
      return { board: b, part: 'status' };
    }
    if (kind === 'stats' && rest.length === 0) {
      const b = board(fleet, id);
      b.stats = parseJson(text);
      return { board: b, part: 'stats' };
    }
    if (kind === 'node' && rest.length === 1) {
      const b = board(fleet, id);
      const doc = text === '' ? null : parseJson(text);
      if (doc && Number.isInteger(doc.nodeId)) b.nodes.set(doc.nodeId, doc);
      else b.nodes.delete(Number(rest[0]));  // an empty retained message clears it
      return { board: b, part: 'nodes' };
    }
    if (kind === 'neighbors' && rest.length === 0) {
      const b = board(fleet, id);
      const doc = parseJson(text);
      b.neighbors = doc && Array.isArray(doc.neighbors)
        ? { gwTimestamp: doc.gwTimestamp, list: doc.neighbors.map((n) => ({ nodeId: n.nodeId, rssi: n.RSSI })) }
        : null;
      return { board: b, part: 'neighbors' };
    }
    if (kind === 'rx' && rest.length === 1) {
      const b = board(fleet, id);
      const doc = parseJson(text) || {};
      b.feed.push({ receivedMs: nowMs, kind: rest[0], nodeIds: docNodeIds(doc), text });
      if (b.feed.length > FEED_LIMIT) b.feed.splice(0, b.feed.length - FEED_LIMIT);
      return { board: b, part: 'feed' };
    }
    return null;
  }

  function hex(id) {
    return '0x' + id.toString(16).padStart(4, '0');
  }

  // "just now", "3 s ago", "5 min ago", "2 h ago", "3 d ago"; a time ahead of
  // the page's clock (a board whose clock runs ahead) is "just now" too.
  function relativeTime(thenMs, nowMs) {
    if (!Number.isFinite(thenMs)) return '—';
    const s = Math.floor((nowMs - thenMs) / 1000);
    if (s < 1) return 'just now';
    if (s < 60) return `${s} s ago`;
    if (s < 3600) return `${Math.floor(s / 60)} min ago`;
    if (s < 172800) return `${Math.floor(s / 3600)} h ago`;
    return `${Math.floor(s / 86400)} d ago`;
  }

  function total(counts) {
    return Object.values(counts || {}).reduce((a, n) => a + (Number.isFinite(n) ? n : 0), 0);
  }

  // The rows of a board's node table: filtered by text (decimal or hex id,
  // uidHex) and sorted by key (nodeId, lastSeen, total, rssi) and direction.
  function nodeRows(b, { filter = '', sortKey = 'nodeId', descending = false } = {}) {
    const f = filter.trim().toLowerCase();
    const rows = [...b.nodes.values()].map((n) => ({
      nodeId: n.nodeId,
      hex: hex(n.nodeId),
      firstSeen: n.firstSeen,
      lastSeen: n.lastSeen,
      lastSeenMs: Date.parse(n.lastSeen),
      counts: n.counts || {},
      total: total(n.counts),
      rssi: Number.isInteger(n.rssi) ? n.rssi : null,
      port: n.port,
      uidHex: n.uidHex || '',
      nodeType: n.nodeType,
    })).filter((r) => !f || String(r.nodeId).includes(f) || r.hex.includes(f) || r.uidHex.toLowerCase().includes(f));
    const value = (r) => {
      const v = sortKey === 'lastSeen' ? r.lastSeenMs : r[sortKey];
      return v === null || v === undefined || Number.isNaN(v) ? -Infinity : v;
    };
    rows.sort((a, c) => (value(a) - value(c)) * (descending ? -1 : 1) || a.nodeId - c.nodeId);
    return rows;
  }

  // The feed entries that match a kind ('' for all) and a node (decimal or
  // hex text, '' for all).
  function filterFeed(feed, { kind = '', node = '' } = {}) {
    const n = node.trim().toLowerCase();
    const id = n.startsWith('0x') ? parseInt(n, 16) : n === '' ? NaN : Number(n);
    return feed.filter((e) => (!kind || e.kind === kind) && (!n || e.nodeIds.includes(id)));
  }

  Object.assign(api, { FEED_LIMIT, createFleet, docNodeIds, applyMessage, hex, relativeTime, nodeRows, filterFeed });
})(typeof module === 'object' ? module.exports : (globalThis.OrvelState = {}));
