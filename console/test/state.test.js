// The fleet picture from bridge messages: boards, node table, neighbours,
// feed, relative times.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { applyMessage, createFleet, filterFeed, nodeRows, relativeTime, FEED_LIMIT } = require('../js/state.js');
const { neighborMarks } = require('../js/neighbors.js');

const node = (id, lastSeen, more = {}) =>
  JSON.stringify({ nodeId: id, firstSeen: '2026-12-09T10:00:00.000Z', lastSeen, counts: { ack: 1 }, ...more });

test('messages build boards, nodes, neighbours and the feed', () => {
  const f = createFleet('orvel');
  const messages = [
    ['orvel/b1/status', 'online'],
    ['orvel/b2/status', 'offline'],
    ['orvel/b1/stats', '{"docsIn":7,"nodesDropped":0}'],
    ['orvel/b1/node/258', node(258, '2026-12-09T10:00:05.000Z', { rssi: 200, counts: { receivedPayload: 3, ack: 1 } })],
    ['orvel/b1/node/259', node(259, '2026-12-09T10:00:01.000Z', { uidHex: '01a203b4ff' })],
    ['orvel/b1/node/260', node(260, '2026-12-09T10:00:09.000Z')],
    ['orvel/b1/node/260', ''],  // cleared: dropped by the bridge
    ['orvel/b1/neighbors', '{"objectType":"neighborListReply","gwTimestamp":"t","neighbors":[{"nodeId":258,"RSSI":200}]}'],
    ['orvel/b1/rx/ack', '{"objectType":"ack","gwTimestamp":"t","nodeId":258}'],
    ['orvel/b1/rx/wesStatus', '{"objectType":"wesStatus","gwTimestamp":"t","status":0}'],
    ['orvel/b1/rx/neighborListReply', '{"objectType":"neighborListReply","neighbors":[{"nodeId":4,"RSSI":1},{"nodeId":5,"RSSI":2}]}'],
    ['orvel/b1/node/261', 'not json'],
    ['orvel/b1/tx/reply', '{}'],
    ['other/b3/status', 'online'],
    ['orvel/b1', 'x'],
  ];
  const parts = messages.map(([t, p]) => applyMessage(f, t, p, 1000)?.part ?? null);
  assert.deepEqual(parts, ['status', 'status', 'stats', 'nodes', 'nodes', 'nodes', 'nodes', 'neighbors',
    'feed', 'feed', 'feed', 'nodes', null, null, null]);
  assert.deepEqual([...f.boards.keys()], ['b1', 'b2']);
  const b1 = f.boards.get('b1');
  assert.equal(b1.status, 'online');
  assert.equal(f.boards.get('b2').status, 'offline');
  assert.equal(b1.stats.docsIn, 7);
  assert.deepEqual([...b1.nodes.keys()].sort(), [258, 259]);
  assert.deepEqual(b1.neighbors.list, [{ nodeId: 258, rssi: 200 }]);
  assert.deepEqual(b1.feed.map((e) => [e.kind, e.nodeIds]), [['ack', [258]], ['wesStatus', []], ['neighborListReply', [4, 5]]]);
  assert.deepEqual(filterFeed(b1.feed, { kind: 'ack' }).length, 1);
  assert.deepEqual(filterFeed(b1.feed, { node: '0x0005' }).map((e) => e.kind), ['neighborListReply']);
  assert.deepEqual(filterFeed(b1.feed, { node: '258', kind: 'wesStatus' }), []);
});

test('the node table sorts and filters', () => {
  const f = createFleet('p');
  applyMessage(f, 'p/b/node/258', node(258, '2026-12-09T10:00:05.000Z', { rssi: 90, counts: { ack: 5 } }), 0);
  applyMessage(f, 'p/b/node/4660', node(4660, '2026-12-09T10:00:09.000Z', { uidHex: '01A203b4ff' }), 0);
  applyMessage(f, 'p/b/node/259', node(259, '2026-12-09T10:00:01.000Z', { rssi: 200, counts: { ack: 2, nack: 1 } }), 0);
  const b = f.boards.get('b');
  const ids = (o) => nodeRows(b, o).map((r) => r.nodeId);
  assert.deepEqual(ids({}), [258, 259, 4660]);
  assert.deepEqual(ids({ sortKey: 'lastSeen', descending: true }), [4660, 258, 259]);
  assert.deepEqual(ids({ sortKey: 'total', descending: true }), [258, 259, 4660]);
  assert.deepEqual(ids({ sortKey: 'rssi' }), [4660, 258, 259]);  // no rssi sorts first
  assert.deepEqual(ids({ filter: '0x1234' }), [4660]);
  assert.deepEqual(ids({ filter: 'a203' }), [4660]);
  assert.deepEqual(ids({ filter: '25' }), [258, 259]);
  const row = nodeRows(b, { filter: '259' })[0];
  assert.equal(row.hex, '0x0103');
  assert.equal(row.total, 3);
  assert.equal(row.lastSeenMs, Date.parse('2026-12-09T10:00:01.000Z'));
});

test('relative times', () => {
  const now = Date.parse('2026-12-09T10:00:00.000Z');
  const cases = [[0, 'just now'], [999, 'just now'], [-5000, 'just now'], [3000, '3 s ago'], [59999, '59 s ago'],
    [60000, '1 min ago'], [3599000, '59 min ago'], [3600000, '1 h ago'], [47 * 3600000, '47 h ago'],
    [48 * 3600000, '2 d ago']];
  for (const [ago, text] of cases) assert.equal(relativeTime(now - ago, now), text, `${ago}`);
  assert.equal(relativeTime(NaN, now), '—');
});

test('the feed keeps the newest entries only', () => {
  const f = createFleet('p');
  for (let i = 0; i < FEED_LIMIT + 5; ++i) applyMessage(f, 'p/b/rx/ack', `{"objectType":"ack","nodeId":${i}}`, i);
  const feed = f.boards.get('b').feed;
  assert.equal(feed.length, FEED_LIMIT);
  assert.deepEqual(feed[0].nodeIds, [5]);
});

test('neighbour marks: one per neighbour, stronger nearer the middle', () => {
  const marks = neighborMarks([{ nodeId: 1, rssi: 30 }, { nodeId: 2, rssi: 90 }, { nodeId: 3, rssi: 60 }], 300);
  assert.equal(marks.length, 3);
  const dist = (m) => Math.hypot(m.x - 150, m.y - 150);
  assert.ok(dist(marks[1]) < dist(marks[2]) && dist(marks[2]) < dist(marks[0]));
  assert.equal(marks[1].color, 'hsl(120, 70%, 42%)');
  assert.equal(marks[0].color, 'hsl(0, 70%, 42%)');
  for (const m of marks) assert.ok(m.x > 0 && m.x < 300 && m.y > 0 && m.y < 300);
  assert.equal(neighborMarks([{ nodeId: 9, rssi: 5 }])[0].color, 'hsl(120, 70%, 42%)');
});
