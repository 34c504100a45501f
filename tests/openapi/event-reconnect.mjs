// A page's EventSource misses no event when its stream is cut: headless Chromium reconnects with the id of the
// last event it got, and the server sends exactly what it missed.   node event-reconnect.mjs PONTIVO
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';

const fail = message => { console.log('event-reconnect.mjs: ' + message); process.exit(1); };
const puppeteer = (await import('puppeteer-core').catch(() => fail('no puppeteer-core: run tools/install-deps.sh --tests'))).default;
const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));
const get = (port, target) => new Promise((resolve, reject) => http.get({ host: '127.0.0.1', port, path: target }, answer => {
    let body = '';
    answer.on('data', piece => body += piece).on('end', () => resolve(body));
}).on('error', reject));
const listen = server => new Promise(resolve => server.listen(0, '127.0.0.1', () => resolve(server.address().port)));

const dir = mkdtempSync(path.join(tmpdir(), 'pontivo-events-'));
const probe = net.createServer(), port = await listen(probe); // a free port, given to the server
await new Promise(resolve => probe.close(resolve));
const server = spawn(process.argv[2], ['--headless', '--http-port', String(port), '--com-port', path.join(dir, 'none')],
                     { stdio: ['ignore', 'ignore', 'inherit'] });
let browser;
process.on('exit', () => { server.kill(); rmSync(dir, { recursive: true, force: true }); });
setTimeout(() => fail('no result within 60 s'), 60000).unref();

// Between the browser and the server: cutting its connections is the stream dropped on the way.
const streams = new Set(), lastIds = [];
const proxyPort = await listen(net.createServer(client => {
    const upstream = net.connect(port, '127.0.0.1');
    for (const end of [client, upstream])
        end.on('error', () => { client.destroy(); upstream.destroy(); }).on('close', () => streams.delete(client));
    client.once('data', head => {
        const text = head.toString('latin1');
        if (text.startsWith('GET /events')) {
            streams.add(client);
            lastIds.push((/\r\nLast-Event-ID: *([^\r]*)/i.exec(text) || [])[1] ?? null);
        }
        upstream.write(head);
        client.pipe(upstream);
        upstream.pipe(client);
    });
}));

for (let i = 0; i < 100 && await get(port, '/test').catch(() => '') !== 'OK'; ++i)
    await sleep(100);
browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox'],
                                   userDataDir: path.join(dir, 'profile') });
const page = await browser.newPage();
await page.goto(`http://127.0.0.1:${proxyPort}/test`);
await page.evaluate(() => {
    window.got = [];
    window.resets = 0;
    const events = new EventSource('/events/n');
    events.addEventListener('set', e => window.got.push(e.data));
    events.addEventListener('reset', () => ++window.resets);
    events.addEventListener('link', () => window.linked = true);
});
await page.waitForFunction(() => window.linked, { timeout: 20000 });
const count = 300;
for (let i = 1; i <= count; ++i) {
    await get(port, `/set/n/${i}`);
    if (i % 100 !== 0 || i === count)
        continue;
    while (streams.size === 0) // the page is back from the last cut
        await sleep(20);
    for (const client of streams) // the stream drops; the next writes happen while the page reconnects
        client.destroy();
}
await page.waitForFunction(n => window.got.includes(`n=${n}`), { timeout: 20000 }, count).catch(() => {});
const { got, resets } = await page.evaluate(() => ({ got: window.got, resets: window.resets }));
await browser.close();
const expected = Array.from({ length: count }, (_, i) => `n=${i + 1}`);
if (JSON.stringify(got) !== JSON.stringify(expected) || resets !== 0)
    fail(`the page got ${got.length} of ${count} events in order? ${JSON.stringify(got) === JSON.stringify(expected)}; ` +
         `resets ${resets}; first differences: ${got.filter((v, i) => v !== expected[i]).slice(0, 5)}`);
if (lastIds.length < 3 || lastIds.slice(1).some(id => !id))
    fail(`the page did not reconnect twice with an id: ${JSON.stringify(lastIds)}`);
console.log(`event-reconnect.mjs: ${count} events, stream cut twice, none lost; reconnected with ${lastIds.slice(1).join(', ')}`);
process.exit(0);
