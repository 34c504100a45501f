// The example pages in a real browser, served by the built program (PONTIVO, CHROMIUM in the environment).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { once } from 'node:events';
import { chromium } from 'playwright-core';

const listening = async server => (await once(server.listen(0, '127.0.0.1'), 'listening'), server);

test('the example pages drive the variables, look as designed, and other origins may call', async t => {
    const probe = await listening(createServer());
    const origin = `http://127.0.0.1:${probe.address().port}`;
    probe.close();
    const pontivo = spawn(process.env.PONTIVO, ['--headless', '--http-port', new URL(origin).port]);
    t.after(() => pontivo.kill());
    await new Promise(resolve => pontivo.stderr.on('data', chunk => String(chunk).includes('serving') && resolve()));
    const other = await listening(createServer((_, response) => response.end(`<p id="out"></p><script>
        fetch('${origin}/set/cors/yes').then(r => r.text()).then(t => document.getElementById('out').textContent = t);
        </script>`)));
    t.after(() => other.close());
    // Debian's browser, never one fetched by the driver; nothing but these pages is reached.
    const browser = await chromium.launch({ executablePath: process.env.CHROMIUM, args: ['--no-sandbox',
        '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update'] });
    t.after(() => browser.close());
    const open = async url => {
        const page = await browser.newPage();
        page.on('pageerror', error => assert.fail(`${url}: ${error.message}`));
        await page.goto(url.startsWith('http') ? url : `${origin}/files/examples/${url}.html`);
        return page;
    };
    const shows = (page, id, text) => page.waitForFunction(([i, s]) => document.getElementById(i).textContent.includes(s), [id, text]);
    await fetch(`${origin}/put/sensor/21.5`);
    const [led, sensor, variables] = await Promise.all(['led', 'sensor', 'variables'].map(open));
    for (const page of [led, sensor, variables]) // the stylesheet comes without a content type
        assert.equal(await page.$eval('header', h => getComputedStyle(h).backgroundColor), 'rgb(29, 39, 51)');
    await led.click('#toggle');
    await shows(led, 'answer', 'on');
    await shows(sensor, 'value', '21.5');
    await shows(variables, 'rows', 'led');
    assert.equal(await (await fetch(`${origin}/get/led`)).text(), 'on');
    await shows(await open(`http://127.0.0.1:${other.address().port}/`), 'out', 'yes');
});
