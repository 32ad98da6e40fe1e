#!/usr/bin/env node
// WebAssembly against the native engine on the same positions searched to
// the same depth (one thread, 64 MiB of tables), and what the page weighs as
// loaded.
//
// Usage: node tools/web_speed.js [depth] [runs]
//   (after make release and make web, with tests/web's packages installed)
//
// Three runs of the same search: the native build/release/ruvan; the
// WebAssembly engine in the page in headless Chromium (the position is
// imported, then "Engine move" makes it think for the side to move); and the
// same WebAssembly under node, whose V8 is Chromium's engine, so that its
// CPU time can be read. Wall-clock speed is nodes over the think's own time
// from its last analysis line; CPU speed is nodes over the CPU seconds the
// process spent on the think (native: /proc; node: process.cpuUsage). On a
// machine shared with other work only the CPU figures compare fairly. Each
// figure is the best of the runs.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '..');
const { chromium } = require(path.join(ROOT, 'tests', 'web', 'node_modules', 'playwright-core'));
const SITE = path.join(ROOT, 'build', 'web');
const NATIVE = path.join(ROOT, 'build', 'release', 'ruvan');
const DEPTH = Number(process.argv[2] || 11);
const RUNS = Number(process.argv[3] || 3);
const TIME = 600000;   // the depth is the limit
const MEMORY = 64 * 1024 * 1024;

// Records of the engine playing itself from a fixed three-stone opening,
// cut where neither side has a forced win yet.
const POSITIONS = [
  { name: 'opening, free style', rule: 0, record: '7,7 8,8 7,8 7,6 6,7 8,7' },
  { name: 'middle game, free style', rule: 0, record: '7,7 7,8 9,7 8,7 6,9 9,9 6,8 5,9 4,6 6,7' },
  { name: 'middle game, Renju', rule: 2, record: '7,7 7,8 9,7 6,7 8,9 6,8 6,6 8,8 9,8 9,6' },
];

const ANALYSIS = /MESSAGE depth (\d+) eval \S+ nodes (\d+) time (\d+)/;

// The last analysis line of a think: {depth, nodes, ms}.
function summarise(lines) {
  const last = lines.filter((l) => ANALYSIS.test(l)).pop();
  const [, depth, nodes, ms] = ANALYSIS.exec(last);
  return { depth: Number(depth), nodes: Number(nodes), ms: Number(ms) };
}

// The position as a YXBOARD block for the side to move (own stones 1).
function setUp(position) {
  const moves = position.record.split(' ');
  const block = moves.map((m, i) => `${m},${(moves.length - i) % 2 === 0 ? 1 : 2}`);
  return [`INFO max_memory ${MEMORY}`, `INFO timeout_turn ${TIME}`, `INFO max_depth ${DEPTH}`,
    `INFO rule ${position.rule}`, 'START 15', 'YXBOARD', ...block, 'DONE'];
}

// CPU seconds (user + system) of a process so far.
function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / 100;   // utime, stime in clock ticks
}

function native(position) {
  return new Promise((resolve, reject) => {
    const engine = spawn(NATIVE, [], { stdio: ['pipe', 'pipe', 'ignore'] });
    const lines = [];
    let pending = '', cpuBefore = 0;
    engine.stdout.on('data', (chunk) => {
      pending += chunk;
      let i;
      while ((i = pending.indexOf('\n')) >= 0) {
        const line = pending.slice(0, i).trim();
        pending = pending.slice(i + 1);
        if (line.startsWith('FORBID')) {
          // Set up and idle: the think starts from here.
          cpuBefore = cpuSeconds(engine.pid);
          engine.stdin.write('BOARD\nDONE\n');
        } else if (/^\d+,\d+$/.test(line)) {
          const cpu = cpuSeconds(engine.pid) - cpuBefore;
          engine.stdin.end('END\n');
          resolve({ ...summarise(lines), cpu });
        } else {
          lines.push(line);
        }
      }
    });
    engine.on('error', reject);
    engine.stdin.write(setUp(position).concat('YXSHOWFORBID', '').join('\n'));
  });
}

async function inNode(position) {
  const createRuvan = require(path.join(SITE, 'ruvan.js'));
  const lines = [];
  const module = await createRuvan({ wasmBinary: fs.readFileSync(path.join(SITE, 'ruvan.wasm')), print: (l) => lines.push(l) });
  const feed = module.cwrap('ruvan_line', 'number', ['string']);
  for (const line of setUp(position)) feed(line);
  const before = process.cpuUsage();
  feed('BOARD');
  feed('DONE');
  const used = process.cpuUsage(before);
  return { ...summarise(lines), cpu: (used.user + used.system) / 1e6 };
}

async function inPage(context, baseUrl, position) {
  const page = await context.newPage();
  await page.goto(`${baseUrl}?size=15&rule=${position.rule}&time=${TIME}`);
  const idle = () => page.waitForFunction(() => ['human', 'paused', 'over'].includes(document.body.dataset.phase), null, { timeout: 300000 });
  await idle();
  // The page has no depth setting; the engine link is the page's own global.
  await page.evaluate((depth) => engine.post(`INFO max_depth ${depth}`), DEPTH);
  await page.fill('#record', position.record);
  await page.click('#import');
  await idle();
  const before = (await page.textContent('#log')).split('\n').length;
  await page.click('#engine-move');
  await idle();
  const lines = (await page.textContent('#log')).split('\n').slice(before - 1).map((l) => l.replace(/^< /, ''));
  await page.close();
  return summarise(lines);
}

const best = (runs, speed) => Math.max(...runs.map(speed));
const wall = (r) => r.nodes / r.ms;             // knodes/s
const perCpu = (r) => r.nodes / r.cpu / 1000;   // knodes per CPU second

async function main() {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };
  const server = http.createServer((req, res) => {
    let name = decodeURIComponent(new URL(req.url, 'http://localhost').pathname);
    if (name.endsWith('/')) name += 'index.html';
    fs.readFile(path.join(SITE, path.normalize(name)), (err, data) => {
      if (err) { res.writeHead(404); res.end(); return; }
      res.writeHead(200, { 'Content-Type': types[path.extname(name)] || 'application/octet-stream' });
      res.end(data);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const baseUrl = `http://127.0.0.1:${server.address().port}/`;
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'ruvan-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.RUVAN_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });

  console.log(`depth ${DEPTH}, best of ${RUNS} runs, one thread, max_memory ${MEMORY}; load average ${os.loadavg()[0].toFixed(1)}`);
  console.log('position                 |   nodes | native wall  cpu | chromium wall | node wall  cpu | wasm/native: wall  cpu');
  for (const position of POSITIONS) {
    const n = [], c = [], v = [];
    for (let r = 0; r < RUNS; r++) {
      n.push(await native(position));
      c.push(await inPage(context, baseUrl, position));
      v.push(await inNode(position));
    }
    const f = (x) => x.toFixed(0).padStart(5);
    console.log(`${position.name.padEnd(24)} | ${String(n[0].nodes).padStart(7)} |` +
      `       ${f(best(n, wall))} ${f(best(n, perCpu))} |         ${f(best(c, wall))} |     ${f(best(v, wall))} ${f(best(v, perCpu))} |` +
      `              ${(best(c, wall) / best(n, wall)).toFixed(2)} ${(best(v, perCpu) / best(n, perCpu)).toFixed(2)}`);
  }
  console.log('(speeds in knodes/s: wall from the analysis line, cpu per CPU second of the think)');

  // What a visitor downloads: every file the page loads.
  let total = 0;
  const sizes = ['index.html', 'style.css', 'app.js', 'engine-worker.js', 'ruvan.js', 'ruvan.wasm'].map((f) => {
    const bytes = fs.statSync(path.join(SITE, f)).size;
    total += bytes;
    return `${f} ${bytes}`;
  });
  console.log(`page as loaded: ${sizes.join(', ')}; total ${total} bytes`);

  await context.close();
  server.close();
  fs.rmSync(profile, { recursive: true, force: true });
}

main().catch((e) => { console.error(e); process.exit(1); });
