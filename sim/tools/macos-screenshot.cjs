#!/usr/bin/env node
'use strict';
// Sandbox stand-in for the agent's screenshot program: macos-screenshot OUTPUT.png
// With screen recording granted it writes a "desktop" picture of several kilobytes; without it,
// like the real system, it still succeeds but captures nothing but a blank 1x1 image.

const fs = require('fs');
const sandbox = require('../lib/sandbox.cjs');
const png = require('../lib/png.cjs');

sandbox.record('macos-screenshot');
const output = process.argv[2];
if (!output || process.argv.length !== 3) {
  process.stderr.write('usage: macos-screenshot OUTPUT.png\n');
  process.exit(64);
}

let image;
if (sandbox.granted('screenRecording')) {
  let seed = Date.now() & 0xffff;
  const noise = () => {
    seed = (seed * 1103515245 + 12345) & 0x7fffffff;
    return seed & 0x1f;
  };
  image = png.encode(160, 100, (x, y) => {
    const window = x > 30 && x < 130 && y > 20 && y < 80;
    const base = window ? [236, 239, 244] : [40 + (y >> 1), 80 + (x >> 2), 160];
    return base.map((v) => Math.min(255, v + noise()));
  });
} else {
  image = png.encode(1, 1, () => [0, 0, 0]);
}
try {
  fs.writeFileSync(output, image);
} catch (error) {
  process.stderr.write(`macos-screenshot: cannot write ${output}: ${error.message}\n`);
  process.exit(1);
}
