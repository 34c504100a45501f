// The example pages in a real browser, served by the built program.
// Environment: PONTIVO (the executable), CHROMIUM (the browser binary).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

let pontivo;
let browser;
let origin;
let profile;

function freePort() {
    return new Promise(resolve => {
        const probe = createServer().listen(0, '127.0.0.1', () => {
            const { port } = probe.address();
            probe.close(() => resolve(port));
        });
    });
}

function startPontivo(port) {
    return new Promise((resolve, reject) => {
        const child = spawn(process.env.PONTIVO, ['--headless', '--http-port', String(port)]);
        let seen = '';
        const timer = setTimeout(() => reject(new Error('no serving line: ' + seen)), 10000);
        child.stderr.on('data', chunk => {
            seen += chunk;
            if (seen.includes('serving http://')) {
                clearTimeout(timer);
                resolve(child);
            }
        });
        child.on('exit', code => reject(new Error(`pontivo exited (${code}): ${seen}`)));
    });
}

async function get(path) {
    return (await fetch(origin + path)).text();
}

before(async () => {
    const port = await freePort();
    origin = `http://127.0.0.1:${port}`;
    pontivo = await startPontivo(port);
    profile = mkdtempSync(join(tmpdir(), 'pontivo-chromium-'));
    // Debian's browser, never one fetched by the driver; a fresh profile that talks to nothing else.
    browser = await chromium.launch({
        executablePath: process.env.CHROMIUM,
        headless: true,
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
            '--disable-background-networking', '--disable-component-update', '--disable-sync',
            `--disk-cache-dir=${join(profile, 'cache')}`],
    });
});

after(async () => {
    await browser?.close();
    pontivo?.kill();
    if (profile)
        rmSync(profile, { recursive: true, force: true });
});

// The shared stylesheet arrives without a content type and must still apply.
async function assertStyled(page) {
    const colour = await page.$eval('header', header => getComputedStyle(header).backgroundColor);
    assert.equal(colour, 'rgb(29, 39, 51)', page.url());
}

async function openPage(path) {
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', error => errors.push(error.message));
    await page.goto(origin + path);
    return { page, errors };
}

test('the LED page switches the variable with its button', async () => {
    await get('/unset/led');
    const { page, errors } = await openPage('/files/examples/led.html');
    await page.click('#toggle');
    await page.waitForFunction(() => document.getElementById('answer').textContent === 'on');
    assert.equal(await get('/get/led'), 'on');
    await page.click('#toggle');
    await page.waitForFunction(() => document.getElementById('answer').textContent === 'off');
    assert.equal(await get('/get/led'), 'off');
    await assertStyled(page);
    assert.deepEqual(errors, []);
    await page.close();
});

test('a page from another origin may call the URL commands', async () => {
    const page = `<!DOCTYPE html><p id="out">waiting</p><script>
        (async () => {
            try {
                const set = await (await fetch('${origin}/set/cors/yes')).text();
                const got = await (await fetch('${origin}/get/cors')).text();
                document.getElementById('out').textContent = set + '|' + got;
            } catch (error) {
                document.getElementById('out').textContent = 'failed: ' + error.message;
            }
        })();
    </script>`;
    const other = createServer((request, response) => {
        response.writeHead(200, { 'Content-Type': 'text/html' });
        response.end(page);
    });
    const otherPort = await freePort();
    await new Promise(resolve => other.listen(otherPort, '127.0.0.1', resolve));
    try {
        const tab = await browser.newPage();
        await tab.goto(`http://127.0.0.1:${otherPort}/`);
        await tab.waitForFunction(() => document.getElementById('out').textContent !== 'waiting');
        assert.equal(await tab.textContent('#out'), 'yes|yes');
        assert.equal(await get('/get/cors'), 'yes');
        await tab.close();
    } finally {
        other.close();
    }
});

test('the other examples load, fill in the address and read the variables', async () => {
    await get('/put/sensor/21.5');
    const apis = await openPage('/files/examples/pontivo_apis.html');
    const port = new URL(origin).port;
    assert.match(await apis.page.textContent('#base'), new RegExp(`^http://\\d+\\.\\d+\\.\\d+\\.\\d+:${port}$`));
    await apis.page.selectOption('#command', { label: '/test' });
    await apis.page.click('#form button');
    await apis.page.waitForFunction(() => document.getElementById('answer').textContent === 'OK');

    const sensor = await openPage('/files/examples/sensor.html');
    await sensor.page.waitForFunction(() => document.getElementById('value').textContent === '21.5');

    const variables = await openPage('/files/examples/variables.html');
    await variables.page.waitForFunction(() => document.getElementById('rows').textContent.includes('sensor21.5'));
    await variables.page.fill('#editName', 'sensor');
    await variables.page.fill('#editValue', '30');
    await variables.page.click('#edit button');
    await variables.page.waitForFunction(() => document.getElementById('rows').textContent.includes('sensor30'));
    assert.equal(await get('/get/sensor'), '30');

    const index = await openPage('/files/examples');
    assert.equal(await index.page.locator('.examples a').count(), 4);
    for (const opened of [apis, sensor, variables, index]) {
        await assertStyled(opened.page);
        assert.deepEqual(opened.errors, []);
        await opened.page.close();
    }
});
