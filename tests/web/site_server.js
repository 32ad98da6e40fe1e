// The static server the browser test files serve build/web from: the
// page's own files on 127.0.0.1 at a free port, nothing else, so that any
// request for an outside address shows up as a fault of the page.
'use strict';

const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '..', '..');
const SITE = path.join(ROOT, 'build', 'web');
const ARTIFACTS = path.join(ROOT, 'build', 'web-test-artifacts');
const CHROMIUM = process.env.RUVAN_CHROMIUM || '/usr/bin/chromium';
const BROWSER_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };

// Resolves to { server, baseUrl }; paths that leave build/web get 403.
async function startSiteServer() {
  if (!fs.existsSync(path.join(SITE, 'ruvan.wasm'))) throw new Error('build/web is missing: run make web');
  fs.mkdirSync(ARTIFACTS, { recursive: true });
  const server = http.createServer((req, res) => {
    let name = decodeURIComponent(new URL(req.url, 'http://localhost').pathname);
    if (name.endsWith('/')) name += 'index.html';
    const file = path.join(SITE, path.normalize(name));
    if (!file.startsWith(SITE)) { res.writeHead(403); res.end(); return; }
    fs.readFile(file, (err, data) => {
      if (err) { res.writeHead(404); res.end(); return; }
      res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream' });
      res.end(data);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { server, baseUrl: `http://127.0.0.1:${server.address().port}/` };
}

module.exports = { ROOT, SITE, ARTIFACTS, CHROMIUM, BROWSER_ARGS, startSiteServer };
