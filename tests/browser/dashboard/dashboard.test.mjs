// The dashboard at /ui/ in the system's Chromium (puppeteer-core, no browser download), against the built
// program and a simulated board fed from here. Screenshots go to OUTDIR.
//   node dashboard.test.mjs PONTIVO PONTIVO-BOARD-SIM OUTDIR
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, mkdirSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const [pontivo, boardSim, outDir] = process.argv.slice(2);
const dir = mkdtempSync(join(tmpdir(), 'pontivo-ui-'));
const children = [];
const failures = [];
let passed = 0;

function start(program, args) {
    const child = spawn(program, args, { stdio: ['pipe', 'pipe', 'pipe'] });
    child.output = '';
    child.stdout.on('data', d => { child.output += d; });
    child.stderr.on('data', d => { child.output += d; });
    children.push(child);
    return child;
}

const freePort = () => new Promise(resolve => {
    const server = createServer().listen(0, '127.0.0.1', () => { const { port } = server.address(); server.close(() => resolve(port)); });
});
const sleep = ms => new Promise(r => setTimeout(r, ms));

async function until(what, test, ms = 10000) {
    for (const end = Date.now() + ms; Date.now() < end; await sleep(50))
        if (await test()) return;
    throw new Error('timed out waiting for ' + what);
}

async function serve(port, extra = []) {
    const server = start(pontivo, ['--headless', '--http-port', String(port), '--com-port', join(dir, 'board'), ...extra]);
    await until('the server on ' + port, () => server.output.includes('dashboard: http://localhost:' + port + '/ui/'));
    return server;
}

async function put(port, name, value) {
    const answer = await fetch(`http://127.0.0.1:${port}/api/variables/${encodeURIComponent(name)}`, { method: 'PUT', body: value });
    if (!answer.ok) throw new Error('PUT ' + name + ': ' + answer.status);
}

async function check(name, body) {
    try {
        await body();
        ++passed;
        console.log('ok  ', name);
    } catch (error) {
        failures.push(name);
        console.log('FAIL', name + ':', error.message);
    }
}

// Every page opened here: console errors and requests to any other host are failures of their own.
async function openPage(browser, origin, width, height, dark) {
    const page = await browser.newPage();
    page.problems = [];
    page.on('console', m => { if (m.type() === 'error') page.problems.push('console: ' + m.text()); });
    page.on('pageerror', e => page.problems.push('page error: ' + e.message));
    page.on('request', r => {
        const url = r.url();
        if (!url.startsWith(origin + '/') && !url.startsWith('data:') && !url.startsWith('blob:'))
            page.problems.push('request elsewhere: ' + url);
    });
    await page.setViewport({ width, height });
    await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: dark ? 'dark' : 'light' }]);
    await page.goto(origin + '/ui/');
    return page;
}

const textOf = (page, selector) => page.$eval(selector, e => e.textContent).catch(() => '');
// The row of a variable, found by its name's text.
const rowOf = (page, name) => page.evaluateHandle(n =>
    [...document.querySelectorAll('.var')].find(r => r.querySelector('.name').textContent === n), name);

async function valueShown(page, name) {
    return page.evaluate(n => {
        const row = [...document.querySelectorAll('.var')].find(r => r.querySelector('.name').textContent === n);
        if (!row) return null;
        const shown = row.querySelector('.value, .switch, input');
        return shown.matches('input') ? shown.value : shown.textContent;
    }, name);
}

async function main() {
    mkdirSync(outDir, { recursive: true });
    const board = start(boardSim, ['--link', join(dir, 'board'), '--echo']);
    await until('the simulated board', () => board.output.includes('/'));
    const port = await freePort();
    let server = await serve(port, ['--record', join(dir, 'record.db')]);
    const origin = `http://127.0.0.1:${port}`;
    await put(port, '$temp', 'sensor,°C');
    await fetch(origin + '/put/temp/21.5'); // no line to the board, which would echo it as its own
    await put(port, 'x'.repeat(3000), 'a value as long as the name: ' + 'y'.repeat(3000));
    board.stdin.write('{$led=switch}{led=off}{$speed=number,rpm,0,255}{speed=200}');
    await until('the board\'s frames', async () => (await (await fetch(origin + '/get/speed')).text()) === '200');

    const browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true,
        args: ['--no-sandbox', '--disable-gpu'] });
    try {
        const page = await openPage(browser, origin, 1280, 900, false);
        await check('values appear, with their unit and the board\'s link', async () => {
            await until('temp = 21.5', async () => (await valueShown(page, 'temp')) === '21.5');
            const row = await rowOf(page, 'temp');
            // The source comes with the listing, a moment after the stream's value.
            await until('°C and the source http in the temp row', () => row.evaluate(r => /°C.*s ago · http/.test(r.textContent)));
            await until('the link banner', async () => (await textOf(page, '#link')).includes('open'));
        });
        await check('a board frame shows up live', async () => {
            board.stdin.write('{sensor=4711}');
            await until('sensor = 4711', async () => (await valueShown(page, 'sensor')) === '4711');
        });
        await check('a toggle reaches the board as a line, and shows what the board answered', async () => {
            await until('the led switch', async () => (await valueShown(page, 'led')) === 'off');
            await page.click('.switch');
            await until('"led=on" at the board', () => board.output.includes('board got: led=on'));
            await until('the switch on', () => page.$eval('.switch', b => b.getAttribute('aria-checked') === 'true'));
        });
        await check('the like-pattern filter and plain text both narrow the rows', async () => {
            const shown = () => page.$$eval('.var', rows => rows.filter(r => !r.hidden).map(r => r.querySelector('.name').textContent));
            await page.type('#filter', '$*');
            const pattern = await shown();
            await page.$eval('#filter', f => { f.value = 'EMP'; f.dispatchEvent(new Event('input')); });
            const plain = await shown();
            await page.$eval('#filter', f => { f.value = ''; f.dispatchEvent(new Event('input')); });
            if (pattern.join() !== '$temp,$led,$speed' || plain.join() !== '$temp,temp')
                throw new Error('"$*" showed ' + pattern + ', "EMP" showed ' + plain);
        });
        await check('a chart of the recording reads out the point under the pointer', async () => {
            await page.click('button[aria-label="Chart of speed"]');
            await until('the recorded points', async () => /\d+ recorded points/.test(await textOf(page, '#chartNote')));
            const box = await (await page.$('#chart')).boundingBox();
            // Moved again each time: the chart may still be taking in the points the recording had not yet written.
            let wiggle = 0;
            await until('the read-out', async () => {
                await page.mouse.move(box.x + box.width - 20, box.y + box.height / 2 + (++wiggle % 2));
                return /\d\d:\d\d:\d\d\.\d{3}  200 rpm  \((http|board)\)/.test(await textOf(page, '#readout'));
            });
            await page.screenshot({ path: join(outDir, 'dashboard-chart-1280x900-light.png') });
            await page.keyboard.press('Escape');
        });
        for (const [width, height] of [[390, 844], [1280, 900]]) {
            for (const dark of [false, true]) {
                const name = `dashboard-${width}x${height}-${dark ? 'dark' : 'light'}`;
                await check(`no horizontal scrolling at ${width} px (${dark ? 'dark' : 'light'}) with a 3,000-byte name`, async () => {
                    const sized = await openPage(browser, origin, width, height, dark);
                    await until('the rows', async () => (await valueShown(sized, 'temp')) === '21.5');
                    await sleep(300);
                    await sized.screenshot({ path: join(outDir, name + '.png') });
                    const wide = await sized.evaluate(() => document.documentElement.scrollWidth);
                    if (wide > width) throw new Error('the page is ' + wide + ' px wide');
                    if (sized.problems.length) throw new Error(sized.problems.join('; '));
                    await sized.close();
                });
            }
        }
        await check('the stream\'s loss and return are said', async () => {
            server.kill('SIGTERM');
            await until('the lost banner', async () => (await textOf(page, '#stream')).includes('lost'));
            server = await serve(port, ['--record', join(dir, 'record.db')]);
            await until('the back banner', async () => (await textOf(page, '#stream')).includes('back'), 15000);
        });
        await check('no console error and no request to another host', async () => {
            // The stream's loss above logs the browser's own connection errors; those were wanted.
            const problems = page.problems.filter(p => !p.includes('ERR_CONNECTION_REFUSED') && !p.includes('ERR_EMPTY_RESPONSE'));
            if (problems.length) throw new Error(problems.join('; '));
        });
        const guardedPort = await freePort();
        await serve(guardedPort, ['--allow-origin', 'http://elsewhere.invalid']);
        await put(guardedPort, 'note', 'kept');
        await check('a refused write is shown as refused, and the stored value stays', async () => {
            const guarded = await openPage(browser, `http://127.0.0.1:${guardedPort}`, 390, 844, false);
            await until('note', async () => (await valueShown(guarded, 'note')) === 'kept');
            const field = await guarded.$('.var input[type=text]');
            await field.click({ clickCount: 3 });
            await field.type('changed\n');
            await until('the refusal', async () => (await textOf(guarded, '.message.failed')).includes('Refused'));
            const stored = await (await fetch(`http://127.0.0.1:${guardedPort}/get/note`)).text();
            await guarded.click('#filter');
            if (stored !== 'kept' || (await valueShown(guarded, 'note')) !== 'kept')
                throw new Error('stored ' + stored + ', shown ' + await valueShown(guarded, 'note'));
        });
        const loginPort = await freePort(), users = join(dir, 'users');
        spawnSync(pontivo, ['--users', users, '--add-user', 'ann', '--role', 'write'], { input: 'secret\n' });
        await serve(loginPort, ['--users', users]);
        await check('after the Basic prompt the page\'s stream and fetch work, and a foreign page reads nothing', async () => {
            const login = `http://127.0.0.1:${loginPort}`, page = await browser.newPage();
            await page.authenticate({ username: 'ann', password: 'secret' }); // what a person types into the prompt
            await page.goto(login + '/ui/');
            await fetch(login + '/put/note/live', { headers: { Authorization: 'Basic ' + btoa('ann:secret') } });
            // The value comes by the stream, its source by a fetch of the listing.
            await until('note, from http', async () => (await valueShown(page, 'note')) === 'live' &&
                (await rowOf(page, 'note')).evaluate(r => r.textContent.includes('· http')));
            const foreign = await browser.newPage(); // another origin, the browser holding the login
            await foreign.goto(`http://127.0.0.1:${guardedPort}/test`);
            const read = await foreign.evaluate(url => fetch(url, { credentials: 'include' })
                .then(a => a.text().then(t => a.status + ' ' + t), () => 'refused'), login + '/get/note');
            if (read !== 'refused' && !read.startsWith('401')) throw new Error('the foreign page read ' + read);
        });
    } finally {
        await browser.close();
    }
}

try {
    await main();
} catch (error) {
    failures.push(error.message);
    console.log('FAIL', error.message);
} finally {
    for (const child of children) child.kill('SIGTERM');
    rmSync(dir, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failures.length} failed`);
process.exit(failures.length ? 1 : 0);
