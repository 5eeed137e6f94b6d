#!/usr/bin/env node
'use strict';
// A loopback HTTP service that misbehaves on purpose, for the fault tests: it stands in for the
// agent's status endpoint, the onboarding service or the registry when they hang, trickle, answer
// garbage or endless bodies, drop the connection or redirect. It runs in a process of its own so
// that nothing it holds counts against the memory of the process under test.
//
//   node fault-server.cjs '{"GET /tui/status": {"fault": "hang"}, "POST": {"status": 409}, "*": {...}}'
//
// An answer is looked up by "METHOD /path", then "METHOD", then "*" (default: 404). It is either
// {"status", "body", "headers"} or {"fault": F} with F one of
//   hang      read the request, never answer
//   trickle   a 200 head, then one byte of body every 50 ms, never ending
//   garbage   bytes that are not HTTP, then close
//   drop      close the connection without a word
//   huge      a 200 head without a length, then `bytes` (default 1 GiB) of body as fast as it is read
//   redirect  302 to `location`
// "$ORIGIN" in a body becomes the server's own http://localhost:PORT. The first line on standard
// output is the port; then one line "METHOD /path" per request.

const http = require('node:http');

const routes = JSON.parse(process.argv[2] || '{}');

function answerFor(req) {
  const path = new URL(req.url, 'http://x').pathname;
  process.stdout.write(`${req.method} ${path}\n`);
  return routes[`${req.method} ${path}`] || routes[req.method] || routes['*'] || { status: 404, body: '' };
}

function stream(res, remaining) {
  const chunk = Buffer.alloc(64 * 1024, 0x78);
  const pump = () => {
    while (remaining > 0) {
      remaining -= chunk.length;
      if (!res.write(chunk)) return res.once('drain', pump);
    }
    res.end();
  };
  pump();
}

const server = http.createServer((req, res) => {
  const answer = answerFor(req);
  req.resume();
  res.on('error', () => {});
  req.socket.on('error', () => {});
  switch (answer.fault) {
    case 'hang':
      return;
    case 'trickle': {
      res.writeHead(200, { 'Content-Type': 'application/json' });
      const timer = setInterval(() => res.write('{'), 50);
      res.on('close', () => clearInterval(timer));
      return;
    }
    case 'garbage':
      return req.socket.end(Buffer.from('\u0000\u00ff garbage \r\n\r\n not http at all \u0007'));
    case 'drop':
      return req.socket.destroy();
    case 'huge':
      res.writeHead(200, { 'Content-Type': 'application/json' });
      return stream(res, answer.bytes || 1024 * 1024 * 1024);
    case 'redirect':
      res.writeHead(302, { Location: answer.location });
      return res.end();
    default:
      res.writeHead(answer.status || 200, { 'Content-Type': 'application/json', ...(answer.headers || {}) });
      return res.end((answer.body || '').replaceAll('$ORIGIN', `http://localhost:${server.address().port}`));
  }
});

server.listen(0, '127.0.0.1', () => process.stdout.write(`${server.address().port}\n`));
// Ends with its parent: a closed standard input means the test is gone.
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
