// The eight commands of the send port as the console's form offers them,
// and the checks a gateway with strictCommands=1 makes, so that a command
// the gateway would refuse or wrap is caught before it is sent. Pure
// functions: the page and `node --test` both use them.
// A classic script (the broker serves files without a MIME type, which
// module scripts need): globalThis.OrvelCommands in the page, module.exports in node.
(function (api) {
  'use strict';

  // Per command: its objectType (and payloadType), and its members in the
  // order the gateway reads them (the first failing member is the one named).
  const COMMANDS = [
    { id: 'sendUnack', label: 'sendPayload (unacknowledged)', objectType: 'sendPayload',
      payloadType: 'unacknowledged', members: ['payload', 'nodeId', 'port', 'sequenceNo'] },
    { id: 'sendAck', label: 'sendPayload (acknowledged)', objectType: 'sendPayload',
      payloadType: 'acknowledged', members: ['payload', 'nodeId', 'port'] },
    { id: 'nodeInfoRequest', label: 'nodeInfoRequest', objectType: 'nodeInfoRequest', members: [] },
    { id: 'neighborListRequest', label: 'neighborListRequest', objectType: 'neighborListRequest', members: [] },
    { id: 'networkCommand', label: 'networkCommand', objectType: 'networkCommand',
      members: ['payload', 'nodeId', 'cmd'] },
    { id: 'wesCmd', label: 'wesCmd', objectType: 'wesCmd', members: ['cmd'] },
    { id: 'wesResponse', label: 'wesResponse', objectType: 'wesResponse',
      members: ['nodeId', 'uidHex', 'appSettings'] },
    { id: 'altCmd', label: 'altCmd', objectType: 'altCmd', members: ['cmd'] },
  ];

  // Largest value per numeric member; hex members by their byte count.
  const MAX = { nodeId: 65535, sequenceNo: 65535, port: 255, cmd: 255 };
  const HEX_BYTES = { uidHex: 5, appSettings: 24 };
  const PAYLOAD_MAX = 255;

  function commandById(id) {
    return COMMANDS.find((c) => c.id === id);
  }

  // A whole decimal number, nothing else: "7" yes, "7.0", "0x7", " 7", "-1" no.
  function parseUnsigned(text) {
    return /^[0-9]+$/.test(text) ? Number(text) : NaN;
  }

  // "1, 2 255" or "[1,2,255]": the elements as numbers (NaN where not an integer).
  function parsePayload(text) {
    const body = text.trim().replace(/^\[/, '').replace(/\]$/, '').trim();
    if (body === '') return [];
    return body.split(/[\s,]+/).map((t) => (/^-?[0-9]+$/.test(t) ? Number(t) : NaN));
  }

  // One member from its form text: { value } or { error } with the gateway's text.
  function readMember(name, raw) {
    const text = raw === undefined || raw === null ? '' : String(raw).trim();
    if (name === 'payload') {
      const values = parsePayload(text);
      if (values.length > PAYLOAD_MAX) return { error: 'Payload too long: payload' };
      if (values.some((v) => !Number.isInteger(v) || v < -128 || v > 255)) return { error: 'Invalid member: payload' };
      return { value: values };
    }
    if (text === '') return { error: `Missing member: ${name}` };
    if (name in HEX_BYTES) {
      const bytes = HEX_BYTES[name];
      if (Math.floor(text.length / 2) !== bytes) return { error: 'HexString length mismatch' };
      if (!new RegExp(`^[0-9a-fA-F]{${2 * bytes}}$`).test(text)) return { error: `Invalid member: ${name}` };
      return { value: text };
    }
    const n = parseUnsigned(text);
    if (!Number.isInteger(n) || n > MAX[name]) return { error: `Invalid member: ${name}` };
    return { value: n };
  }

  // Checks the form's fields for command `id` and builds its JSON object.
  // Returns { command } ready to send, or { error } naming the first bad member.
  function buildCommand(id, fields) {
    const shape = commandById(id);
    if (!shape) return { error: 'Unknown command: no command kind accepts this object' };
    const command = { objectType: shape.objectType };
    if (shape.payloadType) command.payloadType = shape.payloadType;
    for (const name of shape.members) {
      const r = readMember(name, fields[name]);
      if (r.error) return { error: r.error };
      command[name] = r.value;
    }
    return { command };
  }

  Object.assign(api, { COMMANDS, commandById, parsePayload, buildCommand });
})(typeof module === 'object' ? module.exports : (globalThis.OrvelCommands = {}));
