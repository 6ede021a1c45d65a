// The shipped MQTT bundle is the locked package's own: same bytes as in
// node_modules (when installed) and the version the lock file names.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { existsSync, readFileSync } = require('node:fs');
const path = require('node:path');
const { VENDORED } = require('../tools/vendored.js');

const root = path.join(__dirname, '..') + '/';

test('vendored files are present and match node_modules', (t) => {
  for (const { to } of VENDORED) assert.ok(existsSync(root + to), to);
  if (!existsSync(root + 'node_modules/mqtt/package.json')) {
    t.skip('node_modules absent (npm ci in console/): only presence checked');
    return;
  }
  const lock = JSON.parse(readFileSync(root + 'package-lock.json', 'utf8'));
  const installed = JSON.parse(readFileSync(root + 'node_modules/mqtt/package.json', 'utf8'));
  assert.equal(installed.version, lock.packages['node_modules/mqtt'].version);
  for (const { from, to } of VENDORED)
    assert.ok(readFileSync(root + from).equals(readFileSync(root + to)), `${to} differs from ${from}: npm run vendor`);
});
