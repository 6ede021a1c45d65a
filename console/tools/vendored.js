// The files the page ships from npm packages: where each comes from in
// node_modules and where it lives beside the page.
exports.VENDORED = [
  { from: 'node_modules/mqtt/dist/mqtt.min.js', to: 'vendor/mqtt.min.js' },
  { from: 'node_modules/mqtt/LICENSE.md', to: 'vendor/mqtt.LICENSE.md' },
];
