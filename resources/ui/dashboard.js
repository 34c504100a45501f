'use strict';
// The dashboard at /ui/: every variable live from /events, its age and source from /api/variables, a control
// from its description ($NAME = KIND[,UNIT[,MIN,MAX]]), writes through the JSON API, and charts from the
// recording. Only rows on screen are redrawn, at most once a frame, so a busy board costs little.
(() => {
    const $ = id => document.getElementById(id);
    const HOUR = 3600e3;
    const KINDS = ['sensor', 'binary_sensor', 'switch', 'number', 'text', 'button'];
    const MAX_POINTS = 4000; // live points kept per variable (the last hour at most)
    const list = $('variables');
    const vars = new Map(); // name -> entry, in store order
    const dirty = new Set();
    const entryOfRow = new WeakMap();
    let newRows = document.createDocumentFragment(); // joined to the list once a frame: one layout for many rows
    const visible = new Set();
    let matches = () => true;
    const recording = document.body.dataset.recording === 'yes'; // the server says so in the page
    let frameQueued = false;
    let countDue = false;
    let snapshot = true; // between a stream's opening and its first link event: the store as it stands
    let sourcesTimer = null;

    function element(tag, className, text) {
        const node = document.createElement(tag);
        if (className) node.className = className;
        if (text !== undefined) node.textContent = text;
        return node;
    }

    // ---- What a variable is, from its description.

    function describe(text) {
        if (text === undefined) return null;
        const fields = text.split(',');
        if (!KINDS.includes(fields[0]) || fields.length === 3 || fields.length > 4) return null;
        const description = { kind: fields[0], unit: fields[1] ?? '' };
        if (fields.length === 4) {
            const number = f => f.trim() === f && f !== '' && Number.isFinite(Number(f)) ? Number(f) : NaN;
            Object.assign(description, { min: number(fields[2]), max: number(fields[3]) });
            if (!(description.min <= description.max)) return null;
        }
        return description;
    }

    function numeric(value) {
        return value.trim() === value && value !== '' && Number.isFinite(Number(value)) ? Number(value) : NaN;
    }

    // The path segment for a name: the exact bytes when /api/ gave them (a name that is not UTF-8).
    function apiPath(entry) {
        return entry.bytes ?? encodeURIComponent(entry.name);
    }

    // A like-pattern as getlike reads it (? * # [list] [!list], whole name, case kept) when the filter has
    // one of its signs; plain text otherwise, found anywhere in the name in any case.
    function matcher(text) {
        if (text === '') return () => true;
        if (!/[*?#[]/.test(text)) {
            const lower = text.toLowerCase();
            return name => name.toLowerCase().includes(lower);
        }
        const chars = Array.from(text);
        let source = '';
        for (let i = 0; i < chars.length; ++i) {
            const c = chars[i];
            if (c === '*') source += '[^]*';
            else if (c === '?') source += '[^]';
            else if (c === '#') source += '[0-9]';
            else if (c === '[') {
                const close = chars.indexOf(']', i + 1);
                const list = close < 0 ? null : listClass(chars.slice(i + 1, close));
                if (list === null) return () => false; // unclosed, or a range running down: matches nothing
                source += list;
                i = close;
            } else source += escapeChar(c);
        }
        const pattern = new RegExp('^' + source + '$', 'u');
        return name => pattern.test(name);
    }

    const escapeChar = c => '\\u{' + c.codePointAt(0).toString(16) + '}';
    function listClass(inside) {
        const negated = inside[0] === '!';
        let body = '', i = negated ? 1 : 0;
        if (inside[i] === '-') { body += escapeChar('-'); ++i; }
        for (; i < inside.length; ++i) {
            if (i + 2 < inside.length && inside[i + 1] === '-') {
                if (inside[i].codePointAt(0) > inside[i + 2].codePointAt(0)) return null;
                body += escapeChar(inside[i]) + '-' + escapeChar(inside[i + 2]);
                i += 2;
            } else body += escapeChar(inside[i]);
        }
        if (body === '') return negated ? '[^]' : '[]';
        return '[' + (negated ? '^' : '') + body + ']';
    }

    // ---- Entries and their rows.

    function entryOf(name) {
        let entry = vars.get(name);
        if (!entry) {
            entry = { name, value: '', updated: NaN, source: '', points: [], control: null };
            vars.set(name, entry);
            buildRow(entry);
            countDue = true;
        }
        return entry;
    }

    function buildRow(entry) {
        const row = element('li', 'var');
        const name = element('div', 'name clip', entry.name);
        name.title = entry.name;
        name.tabIndex = 0;
        if (entry.name.startsWith('$')) name.classList.add('described');
        const meta = element('div', 'meta muted');
        entry.age = element('span', 'age');
        entry.sourceText = element('span', 'source');
        entry.removeButton = element('button', 'remove', '✕');
        entry.removeButton.type = 'button';
        entry.removeButton.title = 'Remove';
        entry.removeButton.setAttribute('aria-label', 'Remove ' + entry.name);
        meta.append(entry.age, ' · ', entry.sourceText, entry.removeButton);
        entry.controlBox = element('div', 'control');
        entry.sparkBox = element('div', 'spark-box');
        row.append(name, entry.controlBox, entry.sparkBox, meta);
        row.hidden = !matches(entry.name);
        entry.row = row;
        entryOfRow.set(row, entry);
        newRows.append(row);
        rowsOnScreen.observe(row);
        redescribe(entry);
    }

    function remove(name) {
        const entry = vars.get(name);
        if (!entry) return;
        vars.delete(name);
        dirty.delete(entry);
        visible.delete(entry);
        rowsOnScreen.unobserve(entry.row);
        entry.row.remove();
        if (name.startsWith('$') && vars.has(name.slice(1))) redescribe(vars.get(name.slice(1)));
        countDue = true;
        queueFrame();
    }

    const rowsOnScreen = new IntersectionObserver(seen => {
        for (const { target, isIntersecting } of seen) {
            const entry = entryOfRow.get(target);
            if (!entry) continue;
            if (isIntersecting) { visible.add(entry); dirty.add(entry); loadSparkline(entry); } else visible.delete(entry);
        }
        queueFrame();
    }, { rootMargin: '200px' });

    function changed(entry) {
        dirty.add(entry);
        queueFrame();
    }

    function queueFrame() {
        if (frameQueued) return;
        frameQueued = true;
        requestAnimationFrame(() => {
            frameQueued = false;
            if (newRows.childNodes.length) {
                list.append(newRows);
                newRows = document.createDocumentFragment();
            }
            if (countDue) showCount();
            for (const entry of dirty) {
                if (!visible.has(entry) && entry.shown) continue; // drawn when it scrolls into view
                dirty.delete(entry);
                entry.shown = true;
                showEntry(entry);
            }
        });
    }

    function showEntry(entry) {
        entry.control.show(entry.value);
        if (entry.chartButton) entry.chartButton.hidden = !Number.isFinite(numeric(entry.value)) && !entry.points.length;
        entry.sparkBox.hidden = !entry.spark && (!entry.chartButton || entry.chartButton.hidden);
        entry.sourceText.textContent = entry.source || '…';
        showAge(entry, Date.now());
        entry.sparkDue = true;
    }

    function ageText(ms) {
        const s = Math.max(0, Math.floor(ms / 1000));
        if (s < 60) return s + ' s ago';
        if (s < 3600) return Math.floor(s / 60) + ' min ago';
        if (s < 86400) return Math.floor(s / 3600) + ' h ago';
        return Math.floor(s / 86400) + ' d ago';
    }

    function showAge(entry, now) {
        const text = Number.isFinite(entry.updated) ? ageText(now - entry.updated) : '…';
        if (entry.age.textContent !== text) entry.age.textContent = text;
    }

    function showCount() {
        countDue = false;
        let shown = 0;
        for (const entry of vars.values()) if (!entry.row.hidden) ++shown;
        $('count').textContent = shown === vars.size ? vars.size + ' variables' : shown + ' of ' + vars.size + ' variables';
        $('empty').hidden = vars.size > 0;
    }

    // ---- Controls.

    function say(box, text, failed) {
        box.textContent = text;
        box.classList.toggle('failed', !!failed);
    }

    function redescribe(entry) {
        if (entry.name.startsWith('$')) return buildControl(entry, null);
        const described = vars.get('$' + entry.name);
        buildControl(entry, describe(described?.value));
    }

    function buildControl(entry, description) {
        const key = JSON.stringify(description);
        if (entry.control && entry.controlKey === key) return;
        entry.controlKey = key;
        entry.description = description;
        entry.controlBox.replaceChildren();
        const message = element('span', 'message');
        message.setAttribute('role', 'status');
        const kind = description?.kind ?? 'field';
        entry.control = (CONTROLS[kind] ?? CONTROLS.field)(entry, description ?? { unit: '' }, message);
        entry.controlBox.append(message);
        entry.removeButton.onclick = () => removeVariable(entry, message);
        entry.sparkBox.replaceChildren();
        entry.spark = null;
        entry.chartButton = ['sensor', 'number', 'field'].includes(kind) ? chartButton(entry) : null;
        if (entry.shown) showEntry(entry);
    }

    function shownValue(entry, description) {
        const value = element('span', 'value clip');
        value.tabIndex = 0;
        const unit = element('span', 'unit', description.unit);
        entry.controlBox.append(value, unit);
        return text => { value.textContent = text === '' ? '(empty)' : text; value.title = text; };
    }

    const CONTROLS = {
        sensor: (entry, description) => ({ show: shownValue(entry, description) }),
        binary_sensor: (entry, description) => ({ show: shownValue(entry, description) }),
        switch(entry, description, message) {
            const toggle = element('button', 'switch');
            toggle.type = 'button';
            toggle.setAttribute('role', 'switch');
            toggle.setAttribute('aria-label', entry.name);
            toggle.addEventListener('click', () =>
                write(entry, toggle, message, entry.value === 'on' ? 'off' : 'on'));
            entry.controlBox.append(toggle, element('span', 'unit', description.unit));
            return { show: text => {
                toggle.textContent = text === '' ? '(empty)' : text;
                toggle.setAttribute('aria-checked', String(text === 'on'));
            } };
        },
        number(entry, description, message) {
            const field = element('input');
            field.type = 'number';
            field.step = 'any';
            field.setAttribute('aria-label', entry.name + (description.unit ? ' in ' + description.unit : ''));
            let slider = null;
            if (description.min !== undefined) {
                Object.assign(field, { min: description.min, max: description.max });
                slider = element('input');
                const span = description.max - description.min;
                Object.assign(slider, { type: 'range', min: description.min, max: description.max,
                    step: Number.isInteger(description.min) && Number.isInteger(description.max) && span >= 10 ? 1 : span / 100 || 'any' });
                slider.setAttribute('aria-label', entry.name + ' slider');
                slider.addEventListener('input', () => { field.value = slider.value; });
                slider.addEventListener('change', () => write(entry, slider, message, slider.value));
                entry.controlBox.append(slider);
            }
            field.addEventListener('change', () => {
                if (field.validity.valid && field.value !== '') write(entry, field, message, field.value);
                else say(message, 'Not sent: give a number' + (slider ? ' from ' + field.min + ' to ' + field.max : ''), true);
            });
            entry.controlBox.append(field, element('span', 'unit', description.unit));
            return { show: text => {
                if (document.activeElement !== field) field.value = Number.isFinite(numeric(text)) ? text : '';
                if (slider && document.activeElement !== slider && Number.isFinite(numeric(text))) slider.value = text;
            } };
        },
        button(entry, description, message) {
            const press = element('button', '', 'Press');
            press.type = 'button';
            press.setAttribute('aria-label', 'Press ' + entry.name);
            press.addEventListener('click', () => write(entry, press, message, '1'));
            entry.controlBox.append(press);
            return { show: shownValue(entry, description) };
        },
        text: (entry, description, message) => textField(entry, description, message),
        field: (entry, description, message) => textField(entry, description, message),
    };

    // A field that shows the stored value until someone edits it; Enter or Set sends, leaving drops the draft.
    function textField(entry, description, message) {
        const form = element('form');
        form.className = 'control';
        const field = element('input');
        field.type = 'text';
        field.spellcheck = false;
        field.setAttribute('aria-label', entry.name);
        const send = element('button', '', 'Set');
        send.type = 'submit';
        send.setAttribute('aria-label', 'Set ' + entry.name);
        form.append(field, send);
        if (description.unit) form.append(element('span', 'unit', description.unit));
        let draft = false;
        field.addEventListener('input', () => { draft = true; });
        field.addEventListener('blur', event => {
            if (event.relatedTarget !== send) { draft = false; field.value = entry.value; }
        });
        form.addEventListener('submit', event => {
            event.preventDefault();
            draft = false;
            write(entry, field, message, field.value);
        });
        entry.controlBox.append(form);
        return { show: text => { if (!draft) { field.value = text; field.title = text; } } };
    }

    async function failure(answer) {
        let detail = '';
        try { detail = (await answer.json()).error ?? ''; } catch { /* an answer without a JSON body */ }
        if (answer.status === 403)
            return 'Refused by the server’s guards (403): this page may not change variables here';
        return 'Not taken: ' + (detail || answer.statusText || 'refused') + ' (' + answer.status + ')';
    }

    // The control shows what the server answered, never what was asked: on a refusal the stored value stays.
    async function write(entry, control, message, value) {
        control.setAttribute('aria-busy', 'true');
        say(message, 'Sending…');
        try {
            const answer = await fetch('/api/variables/' + apiPath(entry), { method: 'PUT', body: value, cache: 'no-store' });
            if (!answer.ok) throw new Error(await failure(answer));
            takeVariable(await answer.json(), true);
            say(message, '');
        } catch (error) {
            say(message, error instanceof TypeError ? 'Not sent: Pontivo does not answer' : error.message, true);
        } finally {
            control.removeAttribute('aria-busy');
            showEntry(entry);
        }
    }

    async function removeVariable(entry, message) {
        try {
            const answer = await fetch('/api/variables/' + apiPath(entry), { method: 'DELETE', cache: 'no-store' });
            if (!answer.ok && answer.status !== 404) throw new Error(await failure(answer));
            remove(entry.name);
        } catch (error) {
            say(message, error instanceof TypeError ? 'Not removed: Pontivo does not answer' : error.message, true);
        }
    }

    $('add').addEventListener('submit', async event => {
        event.preventDefault();
        const name = $('addName').value, message = $('addMessage');
        say(message, 'Sending…');
        try {
            const answer = await fetch('/api/variables/' + encodeURIComponent(name),
                { method: 'PUT', body: $('addValue').value, cache: 'no-store' });
            if (!answer.ok) throw new Error(await failure(answer));
            takeVariable(await answer.json(), true);
            say(message, 'Set ' + name + '.');
            $('addValue').value = '';
        } catch (error) {
            say(message, error instanceof TypeError ? 'Not sent: Pontivo does not answer' : error.message, true);
        }
    });

    // ---- Values in: the event stream, and the listing for ages and sources.

    function setValue(name, value, now) {
        const entry = entryOf(name);
        if (!snapshot) {
            addPoint(entry, now, value, '');
            entry.updated = now;
        } else if (entry.value !== value)
            entry.updated = NaN; // the listing says when
        entry.value = value;
        valueChanged(entry);
        wantSources();
    }

    function valueChanged(entry) {
        if (entry.name.startsWith('$') && vars.has(entry.name.slice(1))) redescribe(vars.get(entry.name.slice(1)));
        changed(entry);
    }

    function addPoint(entry, t, value, source) {
        const v = numeric(value);
        if (!Number.isFinite(v) && entry.points.length === 0) return;
        entry.points.push({ t, v, s: source, raw: value });
        if (entry.points.length > MAX_POINTS) entry.points.splice(0, entry.points.length - MAX_POINTS * 3 / 4);
    }

    // A variable as /api/ gives it. Its time and source are taken only while it still holds that value:
    // a listing can be older than the events that came before it.
    function takeVariable(variable, written) {
        const known = vars.get(variable.name);
        if (!known && !written && !snapshot) return; // gone since: an unset event said so
        const entry = known ?? entryOf(variable.name);
        if (variable.name_base64 !== undefined)
            entry.bytes = Array.from(atob(variable.name_base64), c => '%' + c.charCodeAt(0).toString(16).padStart(2, '0')).join('');
        if (written && entry.value !== variable.value) addPoint(entry, variable.updated_ms, variable.value, variable.source);
        if (written || !known || entry.value === variable.value)
            Object.assign(entry, { value: variable.value, updated: variable.updated_ms });
        entry.source = variable.source;
        const last = entry.points[entry.points.length - 1];
        if (last && last.s === '') last.s = variable.source;
        valueChanged(entry);
    }

    // Sources and write times come with the listing, read again at most every two seconds while events come.
    function wantSources() {
        if (sourcesTimer === null) sourcesTimer = setTimeout(readListing, snapshot ? 0 : 2000);
    }

    async function readListing() {
        try {
            const answer = await fetch('/api/variables', { cache: 'no-store' });
            if (answer.ok) {
                const body = await answer.json();
                body.variables.forEach(v => takeVariable(v, false));
                if (body.link && $('linkState').textContent === 'Board: unknown') showLink(body.link.state + ' ' + body.link.detail);
            }
        } catch { /* the stream's banner says the server is gone */ }
        sourcesTimer = null;
        for (const entry of vars.values()) if (!entry.source) return wantSources(); // asked too early, or failed
    }

    function showLink(state) {
        const space = state.indexOf(' ');
        const word = space < 0 ? state : state.slice(0, space);
        const detail = space < 0 ? '' : state.slice(space + 1);
        $('link').className = 'banner link ' + (word === 'open' ? 'open' : word === 'closed' ? 'closed' : 'unknown');
        $('linkState').textContent = 'Board: ' + word;
        $('linkDetail').textContent = word === 'open' ? 'on ' + detail : detail ? '— ' + detail : '';
    }

    function streamBanner(kind, text) {
        const banner = $('stream');
        banner.className = 'banner stream ' + kind;
        banner.textContent = text;
        banner.setAttribute('role', kind === 'lost' ? 'alert' : 'status');
    }

    let events = null, lostAt = 0;
    function follow() {
        events = new EventSource('/events');
        events.onopen = () => {
            snapshot = true;
            for (const entry of vars.values()) entry.seen = false;
            const clock = new Date().toLocaleTimeString();
            streamBanner(lostAt ? 'back' : '', lostAt ? 'Connection back at ' + clock + ': live again' : 'Live');
            if (lostAt) setTimeout(() => { if (events.readyState === EventSource.OPEN) streamBanner('', 'Live'); }, 5000);
            lostAt = 0;
        };
        events.onerror = () => {
            if (!lostAt) lostAt = Date.now();
            streamBanner('lost', 'Connection to Pontivo lost at ' + new Date(lostAt).toLocaleTimeString() +
                ': values shown may be old; trying again…');
            showLink('unknown');
            if (events.readyState === EventSource.CLOSED) setTimeout(follow, 2000);
        };
        events.addEventListener('set', event => {
            const equals = event.data.indexOf('=');
            const name = event.data.slice(0, equals);
            setValue(name, event.data.slice(equals + 1), Date.now());
            if (snapshot) vars.get(name).seen = true;
        });
        events.addEventListener('unset', event => remove(event.data));
        events.addEventListener('reset', () => [...vars.keys()].forEach(remove));
        events.addEventListener('link', event => {
            showLink(event.data);
            if (!snapshot) return;
            // The snapshot ends with the link: what it did not name went while the stream was away.
            snapshot = false;
            for (const [name, entry] of vars) if (entry.seen === false) remove(name);
        });
    }

    // ---- Sparklines and charts.

    function chartButton(entry) {
        const open = element('button', '', 'Chart');
        open.type = 'button';
        open.setAttribute('aria-label', 'Chart of ' + entry.name);
        open.addEventListener('click', () => openChart(entry));
        entry.sparkBox.append(open);
        return open;
    }

    let historyQueue = [], historyRunning = 0;
    function loadSparkline(entry) {
        if (!recording || entry.historyAsked || !Number.isFinite(numeric(entry.value))) return;
        entry.historyAsked = true;
        historyQueue.push(entry);
        nextHistory();
    }

    async function nextHistory() {
        if (historyRunning >= 3 || historyQueue.length === 0) return;
        const entry = historyQueue.shift();
        ++historyRunning;
        try {
            const points = await history(entry, Date.now() - HOUR, null, 2000);
            const since = points.length ? points[points.length - 1].t : 0;
            entry.points = points.concat(entry.points.filter(p => p.t > since));
            entry.sparkDue = true;
        } catch { entry.historyAsked = false; }
        --historyRunning;
        nextHistory();
    }

    async function history(entry, since, until, limit) {
        const query = new URLSearchParams({ limit });
        if (since !== null) query.set('since', Math.floor(since));
        if (until !== null) query.set('until', Math.ceil(until));
        const answer = await fetch('/api/history/' + apiPath(entry) + '?' + query, { cache: 'no-store' });
        if (answer.status === 404) return [];
        if (!answer.ok) throw new Error(await failure(answer));
        return (await answer.json()).points.map(p => ({ t: p.time_ms, v: numeric(p.value), s: p.source, raw: p.value }));
    }

    function drawSparkline(entry, now) {
        entry.sparkDue = false;
        if (!entry.points.some(p => Number.isFinite(p.v))) return;
        if (!entry.spark) {
            entry.spark = element('canvas', 'spark');
            entry.spark.setAttribute('aria-hidden', 'true');
            entry.sparkBox.prepend(entry.spark);
            entry.sparkBox.hidden = false;
        }
        // The last hour, or less when less is known: the line fills the width either way.
        const from = Math.max(now - HOUR, entry.points[0].t);
        PontivoChart.sparkline(entry.spark, entry.points, from, Math.max(now, from + 1000));
    }

    const dialog = $('chartDialog');
    const chart = new PontivoChart.Chart($('chart'), $('readout'), (from, to) => showRange(from, to, 'zoom'));
    let chartEntry = null, chartMode = 'fit';

    function openChart(entry) {
        chartEntry = entry;
        $('chartTitle').textContent = entry.name;
        $('chartTitle').title = entry.name;
        chart.pick(-1);
        dialog.showModal();
        pickRange('fit');
    }

    function pickRange(range) {
        chartMode = range;
        for (const button of document.querySelectorAll('[data-range]'))
            button.setAttribute('aria-pressed', String(button.dataset.range === range));
        $('custom').hidden = range !== 'custom';
        if (range === 'custom') {
            const local = t => new Date(t - new Date(t).getTimezoneOffset() * 60e3).toISOString().slice(0, 19);
            $('customFrom').value ||= local(chart.from);
            $('customTo').value ||= local(chart.to);
            return $('customFrom').focus();
        }
        if (range === 'fit') return showRange(null, null, range);
        showRange(Date.now() - Number(range), null, range);
    }

    async function showRange(from, to, mode) {
        chartMode = mode;
        const entry = chartEntry;
        let points = entry.points;
        let note = 'Live values since this page opened (start Pontivo with --record FILE to keep them).';
        if (recording) {
            try {
                points = await history(entry, from, to, 10000);
                note = points.length + ' recorded points' + (points.length === 10000 ? ': the newest 10000 of this range' : '');
            } catch (error) { note = error.message; }
        }
        if (entry !== chartEntry) return;
        const now = Date.now();
        // Fit: from the first point, with a margin of a twentieth of the span shown.
        const first = points.length ? points[0].t : now - 60e3;
        const start = from ?? first - Math.max(1000, (now - first) / 20), end = to ?? now;
        chart.set(points, start, end, entry.description?.unit);
        $('chartNote').textContent = note;
    }

    // A relative range follows the live values while the chart is open.
    function followChart(now) {
        if (!dialog.open || chartMode === 'custom' || chartMode === 'zoom') return;
        const last = chart.points[chart.points.length - 1];
        const fresh = chartEntry.points.filter(p => !last || p.t > last.t);
        const from = chartMode === 'fit' ? chart.from : now - Number(chartMode);
        chart.set(chart.points.concat(fresh), from, now, chartEntry.description?.unit);
    }

    for (const button of document.querySelectorAll('[data-range]'))
        button.addEventListener('click', () => pickRange(button.dataset.range));
    $('customApply').addEventListener('click', () => {
        const from = new Date($('customFrom').value).getTime(), to = new Date($('customTo').value).getTime();
        if (from < to) showRange(from, to, 'custom');
        else $('chartNote').textContent = 'Give a start before the end.';
    });
    $('chartClose').addEventListener('click', () => dialog.close());

    function csvField(text) {
        return /[",\r\n]/.test(text) ? '"' + text.replaceAll('"', '""') + '"' : text;
    }

    $('csv').addEventListener('click', () => {
        const rows = chart.shown().map(p => [new Date(p.t).toISOString(), p.t, p.raw ?? String(p.v), p.s ?? ''].map(String).map(csvField).join(','));
        const blob = new Blob(['time,time_ms,value,source\r\n' + rows.map(r => r + '\r\n').join('')], { type: 'text/csv' });
        const link = element('a');
        link.href = URL.createObjectURL(blob);
        link.download = 'history-' + chartEntry.name.replace(/[^\w.-]+/g, '_').slice(0, 100) + '.csv';
        link.click();
        setTimeout(() => URL.revokeObjectURL(link.href), 1000);
    });

    // ---- Once a second: ages tick, sparklines catch up.

    setInterval(() => {
        const now = Date.now();
        for (const entry of visible) {
            showAge(entry, now);
            if (entry.sparkDue || (entry.spark && entry.points.length)) drawSparkline(entry, now);
        }
        followChart(now);
    }, 1000);

    $('filter').addEventListener('input', () => {
        matches = matcher($('filter').value);
        for (const entry of vars.values()) entry.row.hidden = !matches(entry.name);
        showCount();
    });

    showCount();
    follow();
    wantSources(); // the listing and the stream's first events race: whichever comes first fills the rows
})();
