// Where the neighbour picture puts each neighbour: the module in the middle,
// the neighbours around it, stronger ones (higher RSSI) nearer and greener.
// The scale runs from the weakest to the strongest of the list itself, so
// the picture reads the same whatever unit the module's RSSI byte has.
// A classic script (the broker serves files without a MIME type, which
// module scripts need): globalThis.OrvelNeighbors in the page, module.exports in node.
(function (api) {
  'use strict';

  function neighborMarks(list, size = 300) {
    const c = size / 2;
    const inner = size * 0.17, outer = size * 0.42;
    const values = list.map((n) => n.rssi);
    const lo = Math.min(...values), hi = Math.max(...values);
    return list.map((n, i) => {
      const strength = hi === lo ? 1 : (n.rssi - lo) / (hi - lo);
      const angle = (2 * Math.PI * i) / list.length - Math.PI / 2;
      const r = outer - strength * (outer - inner);
      return {
        nodeId: n.nodeId,
        rssi: n.rssi,
        x: Math.round((c + r * Math.cos(angle)) * 10) / 10,
        y: Math.round((c + r * Math.sin(angle)) * 10) / 10,
        color: `hsl(${Math.round(strength * 120)}, 70%, 42%)`,
      };
    });
  }

  Object.assign(api, { neighborMarks });
})(typeof module === 'object' ? module.exports : (globalThis.OrvelNeighbors = {}));
