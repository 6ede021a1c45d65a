// Copies the browser bundle of the locked `mqtt` package and its licence
// from node_modules into vendor/, where the page loads them. Run after
// `npm ci` whenever the lock file changes: `npm run vendor`.
const { copyFileSync, mkdirSync } = require('node:fs');
const path = require('node:path');
const { VENDORED } = require('./vendored.js');

const root = path.join(__dirname, '..') + '/';
mkdirSync(root + 'vendor', { recursive: true });
for (const { from, to } of VENDORED) copyFileSync(root + from, root + to);
