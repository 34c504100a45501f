// The dashboard's four figures, in the system's Chromium through the browser test's puppeteer-core:
//   1. navigation to the first values (and to all of them) with 1,000 variables
//   2. a board frame to its value on screen, p50 and p95
//   3. the page's transfer size (its own files; and with the 1,000-variable listing)
//   4. main-thread busy time while 1,000 variables change 10 times a second
// node bench/ui/dashboard_bench.mjs [--binary build/pontivo] [--sim build/pontivo-board-sim] [--runs 5]
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { parseArgs } from 'node:util';

const root = new URL('../../', import.meta.url).pathname;
const { values: args } = parseArgs({ options: {
    binary: { type: 'string', default: join(root, 'build/pontivo') },
    sim: { type: 'string', default: join(root, 'build/pontivo-board-sim') },
    runs: { type: 'string', default: '5' },
} });
const puppeteerPath = join(root, 'tests/browser/dashboard/node_modules/puppeteer-core/lib/esm/puppeteer/puppeteer-core.js');
const { default: puppeteer } = await import(puppeteerPath).catch(() => {
    console.error('dashboard_bench: puppeteer-core is missing: tools/install-deps.sh --tests installs it');
    process.exit(1);
});

const dir = mkdtempSync(join(tmpdir(), 'pontivo-ui-bench-'));
const children = [];
const sleep = ms => new Promise(r => setTimeout(r, ms));
const median = list => [...list].sort((a, b) => a - b)[Math.floor(list.length / 2)];
const percentile = (list, p) => [...list].sort((a, b) => a - b)[Math.min(list.length - 1, Math.floor(list.length * p))];
const freePort = () => new Promise(resolve => {
    const server = createServer().listen(0, '127.0.0.1', () => { const { port } = server.address(); server.close(() => resolve(port)); });
});

function start(program, list) {
    const child = spawn(program, list, { stdio: ['pipe', 'pipe', 'pipe'] });
    child.output = '';
    child.stdout.on('data', d => { child.output += d; });
    child.stderr.on('data', d => { child.output += d; });
    children.push(child);
    return child;
}

async function until(test, ms = 20000) {
    for (const end = Date.now() + ms; Date.now() < end; await sleep(20))
        if (await test()) return;
    throw new Error('timed out');
}

// A server with its own simulated board; `waves` adds that many variables changing 10 times a second.
async function serve(waves) {
    const link = join(dir, 'board-' + children.length);
    const list = ['--link', link];
    for (let i = 0; i < waves; ++i) list.push('--wave', `w${String(i).padStart(4, '0')}=sine:0:100:1s`);
    const board = start(args.sim, list);
    await until(() => board.output.includes('/'));
    const port = await freePort();
    const server = start(args.binary, ['--headless', '--http-port', String(port), '--com-port', link]);
    await until(() => server.output.includes('dashboard:'));
    return { board, server, origin: `http://127.0.0.1:${port}` };
}

async function fill(origin, count) {
    for (let i = 0; i < count; i += 50)
        await Promise.all(Array.from({ length: Math.min(50, count - i) }, (_, k) =>
            fetch(`${origin}/put/v${String(i + k).padStart(4, '0')}/${i + k}.5`)));
}

// Times from the navigation's start, taken at the frame after the rows change.
const WATCH_ROWS = `
    window.__firstValue = 0; window.__allValues = 0;
    new MutationObserver(() => {
        const rows = document.querySelectorAll('.var');
        requestAnimationFrame(() => {
            if (!window.__firstValue && rows.length) window.__firstValue = performance.now();
            if (!window.__allValues && rows.length >= window.__want) window.__allValues = performance.now();
        });
    }).observe(document, { childList: true, subtree: true });`;

async function navigation(browser, origin, count) {
    const first = [], all = [];
    for (let run = 0; run < Number(args.runs); ++run) {
        const page = await browser.newPage();
        await page.setViewport({ width: 1280, height: 900 });
        await page.evaluateOnNewDocument(`window.__want = ${count};` + WATCH_ROWS);
        await page.goto(origin + '/ui/');
        await until(() => page.evaluate(() => window.__allValues > 0));
        const [a, b] = await page.evaluate(() => [window.__firstValue, window.__allValues]);
        first.push(a); all.push(b);
        await page.close();
    }
    return { first: median(first), all: median(all), runs: first.length };
}

async function transfer(browser, origin) {
    const page = await browser.newPage();
    const cdp = await page.createCDPSession();
    await cdp.send('Network.enable');
    const sizes = new Map();
    cdp.on('Network.responseReceived', e => sizes.set(e.requestId, { url: e.response.url, bytes: 0 }));
    cdp.on('Network.loadingFinished', e => { if (sizes.has(e.requestId)) sizes.get(e.requestId).bytes = e.encodedDataLength; });
    await page.goto(origin + '/ui/', { waitUntil: 'networkidle2' }).catch(() => {});
    await sleep(1500);
    await page.close();
    let files = 0, all = 0;
    for (const { url, bytes } of sizes.values()) {
        all += bytes;
        if (url.includes('/ui/')) files += bytes;
    }
    return { files, all };
}

// Frames typed into the simulator one by one: from the write to the frame after the value shows.
async function latency(browser, origin, board) {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 900 });
    await page.goto(origin + '/ui/');
    await until(() => page.evaluate(() => [...document.querySelectorAll('.var .name')].some(n => n.textContent === 'lat')));
    await page.evaluate(() => {
        window.__seen = {};
        const row = [...document.querySelectorAll('.var')].find(r => r.querySelector('.name').textContent === 'lat');
        new MutationObserver(() => {
            const text = row.querySelector('.value').textContent;
            requestAnimationFrame(() => { window.__seen[text] ??= Date.now(); });
        }).observe(row, { childList: true, subtree: true, characterData: true });
    });
    const sent = {};
    for (let i = 1; i <= 60; ++i) {
        sent[i] = Date.now();
        board.stdin.write(`{lat=${i}}`);
        await sleep(100);
    }
    await sleep(500);
    const seen = await page.evaluate(() => window.__seen);
    await page.close();
    const delays = Object.keys(sent).filter(k => seen[k]).map(k => seen[k] - sent[k]);
    return { p50: median(delays), p95: percentile(delays, 0.95), count: delays.length };
}

async function busy(browser, origin) {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 900 });
    await page.goto(origin + '/ui/');
    await until(() => page.evaluate(() => document.querySelectorAll('.var').length >= 1000));
    await sleep(2000);
    const cdp = await page.createCDPSession();
    await cdp.send('Performance.enable');
    const metric = async () => Object.fromEntries((await cdp.send('Performance.getMetrics')).metrics.map(m => [m.name, m.value]));
    const before = await metric();
    const frames = Number((await (await fetch(origin + '/metrics')).text()).match(/pontivo_frames_received_total (\d+)/)[1]);
    const started = Date.now();
    await sleep(10000);
    const after = await metric();
    const seconds = (Date.now() - started) / 1000;
    const framesAfter = Number((await (await fetch(origin + '/metrics')).text()).match(/pontivo_frames_received_total (\d+)/)[1]);
    await page.close();
    return { busy: (after.TaskDuration - before.TaskDuration) / seconds, script: (after.ScriptDuration - before.ScriptDuration) / seconds,
        framesPerSecond: (framesAfter - frames) / seconds };
}

const browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox'] });
try {
    const quiet = await serve(0);
    const empty = await transfer(browser, quiet.origin);
    await fetch(`${quiet.origin}/put/$lat/sensor`); // first, so that its row is on screen
    await fetch(`${quiet.origin}/put/lat/0`);
    await fill(quiet.origin, 1000);
    const loaded = await transfer(browser, quiet.origin);
    const nav = await navigation(browser, quiet.origin, 1000);
    const lat = await latency(browser, quiet.origin, quiet.board);
    console.log(`navigation to the first value shown, 1,000 variables: ${nav.first.toFixed(0)} ms (all 1,000 rows: ${nav.all.toFixed(0)} ms; median of ${nav.runs})`);
    console.log(`board frame to value on screen: p50 ${lat.p50} ms, p95 ${lat.p95} ms (${lat.count} frames)`);
    console.log(`transfer: the page's files ${empty.files} bytes (${(empty.files / 1024).toFixed(1)} KiB); with 1,000 variables (page, listing; the open event stream not counted) ${loaded.all} bytes`);
    const busyServer = await serve(1000);
    const load = await busy(browser, busyServer.origin);
    console.log(`main thread busy while 1,000 variables change 10 times a second: ${(load.busy * 100).toFixed(1)}% ` +
        `(script ${(load.script * 100).toFixed(1)}%; the server took ${load.framesPerSecond.toFixed(0)} frames/s)`);
} finally {
    await browser.close();
    for (const child of children) child.kill('SIGTERM');
    rmSync(dir, { recursive: true, force: true });
}
