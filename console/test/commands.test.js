// The command form's checks: what a strict gateway refuses is refused here
// with the gateway's own text, and what it accepts is built as it reads it.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { buildCommand, COMMANDS } = require('../js/commands.js');

const settings = '000102030405060708090a0b0c0d0e0f1011121314151617';

test('each of the eight commands is built from valid fields', () => {
  const fields = { payload: '1, 2 255', nodeId: '4660', port: '1', sequenceNo: '17', cmd: '3',
    uidHex: '01A203b4ff', appSettings: settings };
  const built = Object.fromEntries(COMMANDS.map((c) => [c.id, buildCommand(c.id, fields).command]));
  assert.deepEqual(built, {
    sendUnack: { objectType: 'sendPayload', payloadType: 'unacknowledged', payload: [1, 2, 255], nodeId: 4660, port: 1, sequenceNo: 17 },
    sendAck: { objectType: 'sendPayload', payloadType: 'acknowledged', payload: [1, 2, 255], nodeId: 4660, port: 1 },
    nodeInfoRequest: { objectType: 'nodeInfoRequest' },
    neighborListRequest: { objectType: 'neighborListRequest' },
    networkCommand: { objectType: 'networkCommand', payload: [1, 2, 255], nodeId: 4660, cmd: 3 },
    wesCmd: { objectType: 'wesCmd', cmd: 3 },
    wesResponse: { objectType: 'wesResponse', nodeId: 4660, uidHex: '01A203b4ff', appSettings: settings },
    altCmd: { objectType: 'altCmd', cmd: 3 },
  });
  assert.deepEqual(buildCommand('sendAck', { payload: '[]', nodeId: '1', port: '0' }).command.payload, []);
  assert.deepEqual(buildCommand('sendAck', { payload: '[-128, 0]', nodeId: '1', port: '0' }).command.payload, [-128, 0]);
});

test('strict checks refuse with the gateway text, first member first', () => {
  const ok = { payload: '1', nodeId: '5', port: '1', sequenceNo: '1', cmd: '1', uidHex: '0102030405', appSettings: settings };
  const cases = [
    ['sendUnack', { nodeId: '65536' }, 'Invalid member: nodeId'],
    ['sendUnack', { nodeId: '' }, 'Missing member: nodeId'],
    ['sendUnack', { sequenceNo: '70000' }, 'Invalid member: sequenceNo'],
    ['sendUnack', { sequenceNo: undefined }, 'Missing member: sequenceNo'],
    ['sendAck', { port: '256' }, 'Invalid member: port'],
    ['sendAck', { port: '-1' }, 'Invalid member: port'],
    ['sendAck', { port: '1.5' }, 'Invalid member: port'],
    ['sendAck', { port: '0x1' }, 'Invalid member: port'],
    ['sendAck', { payload: '256', nodeId: 'x' }, 'Invalid member: payload'],
    ['sendAck', { payload: '-129' }, 'Invalid member: payload'],
    ['sendAck', { payload: '1, two' }, 'Invalid member: payload'],
    ['sendAck', { payload: Array(256).fill('1').join(',') }, 'Payload too long: payload'],
    ['networkCommand', { cmd: '256' }, 'Invalid member: cmd'],
    ['wesCmd', { cmd: '' }, 'Missing member: cmd'],
    ['altCmd', { cmd: 'two' }, 'Invalid member: cmd'],
    ['wesResponse', { uidHex: '01020304' }, 'HexString length mismatch'],
    ['wesResponse', { uidHex: '010203040506' }, 'HexString length mismatch'],
    ['wesResponse', { uidHex: '0102030405f' }, 'Invalid member: uidHex'],
    ['wesResponse', { uidHex: '01020304zz' }, 'Invalid member: uidHex'],
    ['wesResponse', { appSettings: settings + '0' }, 'Invalid member: appSettings'],
    ['wesResponse', { appSettings: settings.slice(2) }, 'HexString length mismatch'],
    ['nope', {}, 'Unknown command: no command kind accepts this object'],
  ];
  for (const [id, change, error] of cases)
    assert.equal(buildCommand(id, { ...ok, ...change }).error, error, `${id} ${JSON.stringify(change)}`);
  assert.equal(buildCommand('sendAck', { ...ok, payload: Array(255).fill('1').join(',') }).command.payload.length, 255);
  assert.equal(buildCommand('sendUnack', { ...ok, nodeId: '65535', sequenceNo: '65535', port: '255' }).error, undefined);
});
