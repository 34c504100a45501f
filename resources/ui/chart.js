'use strict';
// Time charts on a canvas, for the dashboard and the example pages: a time axis in local time and a value
// axis with the unit, both with labelled ticks; a read-out of the point under the pointer (or picked
// with the arrow keys); zoom by dragging across. Points are {t: ms since 1970, v: number, s: source},
// oldest first; a value holds until the next write, so the line is drawn in steps.
const PontivoChart = (() => {
    const SECOND = 1000, MINUTE = 60 * SECOND, HOUR = 60 * MINUTE, DAY = 24 * HOUR;
    const TIME_STEPS = [SECOND, 2 * SECOND, 5 * SECOND, 10 * SECOND, 15 * SECOND, 30 * SECOND, MINUTE, 2 * MINUTE,
        5 * MINUTE, 10 * MINUTE, 15 * MINUTE, 30 * MINUTE, HOUR, 2 * HOUR, 3 * HOUR, 6 * HOUR, 12 * HOUR, DAY,
        2 * DAY, 7 * DAY, 14 * DAY, 30 * DAY, 91 * DAY, 365 * DAY];

    // 1, 2 or 5 times a power of ten, so that about `count` steps span `span`.
    function valueStep(span, count) {
        const raw = span / Math.max(1, count);
        const power = Math.pow(10, Math.floor(Math.log10(raw)));
        return [1, 2, 5, 10].map(f => f * power).find(step => step >= raw);
    }

    function valueTicks(low, high, count) {
        const step = valueStep(high - low, count);
        const ticks = [];
        for (let v = Math.ceil(low / step) * step; v <= high + step * 1e-9; v += step)
            ticks.push(Math.abs(v) < step * 1e-9 ? 0 : v);
        return { ticks, step };
    }

    // Ticks at round local times: whole minutes, hours, local midnights.
    function timeTicks(from, to, count) {
        const step = TIME_STEPS.find(s => (to - from) / s <= count) || TIME_STEPS[TIME_STEPS.length - 1];
        const ticks = [];
        if (step >= DAY) {
            const day = new Date(from);
            day.setHours(0, 0, 0, 0);
            const days = Math.round(step / DAY);
            while (day.getTime() <= to) {
                if (day.getTime() >= from) ticks.push(day.getTime());
                day.setDate(day.getDate() + days);
            }
        } else {
            const offset = new Date(from).getTimezoneOffset() * MINUTE;
            for (let t = Math.ceil((from - offset) / step) * step + offset; t <= to; t += step) ticks.push(t);
        }
        return { ticks, step };
    }

    const two = n => String(n).padStart(2, '0');
    function timeLabel(t, step) {
        const d = new Date(t);
        const date = d.toLocaleDateString(undefined, { month: 'short', day: 'numeric' });
        if (step >= DAY) return date;
        const clock = two(d.getHours()) + ':' + two(d.getMinutes()) + (step < MINUTE ? ':' + two(d.getSeconds()) : '');
        return d.getHours() === 0 && d.getMinutes() === 0 && d.getSeconds() === 0 ? date : clock;
    }

    function fullTime(t) {
        const d = new Date(t);
        return d.toLocaleDateString() + ' ' + two(d.getHours()) + ':' + two(d.getMinutes()) + ':' + two(d.getSeconds()) +
            '.' + String(d.getMilliseconds()).padStart(3, '0');
    }

    function valueLabel(v, step) {
        const decimals = Math.max(0, Math.min(6, -Math.floor(Math.log10(step) + 1e-9)));
        return v.toFixed(decimals);
    }

    // The last point at or before t (binary search); -1 when there is none.
    function pointAt(points, t) {
        let low = 0, high = points.length - 1, found = -1;
        while (low <= high) {
            const middle = (low + high) >> 1;
            if (points[middle].t <= t) { found = middle; low = middle + 1; } else high = middle - 1;
        }
        return found;
    }

    function numbersIn(points) {
        let low = Infinity, high = -Infinity;
        for (const p of points)
            if (Number.isFinite(p.v)) { low = Math.min(low, p.v); high = Math.max(high, p.v); }
        return { low, high };
    }

    function stepLine(g, points, x, y, to) {
        g.beginPath();
        let last = null;
        for (const p of points) {
            if (!Number.isFinite(p.v)) { last = null; continue; }
            if (last === null) g.moveTo(x(p.t), y(p.v));
            else { g.lineTo(x(p.t), y(last)); g.lineTo(x(p.t), y(p.v)); }
            last = p.v;
        }
        if (last !== null) g.lineTo(x(to), y(last));
        g.stroke();
    }

    // The canvas's pixels follow its size on the page and the screen's density.
    function fitCanvas(canvas) {
        const ratio = window.devicePixelRatio || 1;
        const w = Math.max(1, Math.round(canvas.clientWidth * ratio)), h = Math.max(1, Math.round(canvas.clientHeight * ratio));
        if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
        const g = canvas.getContext('2d');
        g.setTransform(ratio, 0, 0, ratio, 0, 0);
        g.clearRect(0, 0, canvas.clientWidth, canvas.clientHeight);
        return g;
    }

    function colours(canvas) {
        const style = getComputedStyle(canvas);
        const accent = style.getPropertyValue('--accent').trim() || '#0a7d6f';
        return { ink: style.color, grid: style.getPropertyValue('--line').trim() || '#d3dae2', line: accent };
    }

    // A line without axes over [from, to], for a row of the dashboard.
    function sparkline(canvas, points, from, to) {
        const g = fitCanvas(canvas);
        const w = canvas.clientWidth, h = canvas.clientHeight;
        const { low, high } = numbersIn(points);
        if (!Number.isFinite(low)) return;
        const spread = high - low || 1;
        g.strokeStyle = colours(canvas).line;
        g.lineWidth = 1.5;
        stepLine(g, points, t => Math.max(0, (t - from) / (to - from)) * w, v => h - 2 - (h - 4) * (v - low) / spread, to);
    }

    class Chart {
        // `readout`: where the point under the pointer is written; `zoomed(from, to)`: a drag picked a range.
        constructor(canvas, readout, zoomed) {
            this.canvas = canvas;
            this.readout = readout;
            this.zoomed = zoomed;
            this.points = [];
            this.from = 0; this.to = 1; this.unit = '';
            this.cursor = -1; this.drag = null;
            canvas.addEventListener('pointerdown', e => this.down(e));
            canvas.addEventListener('pointermove', e => this.move(e));
            canvas.addEventListener('pointerup', e => this.up(e));
            canvas.addEventListener('pointercancel', () => { this.drag = null; this.draw(); });
            canvas.addEventListener('keydown', e => this.key(e));
            if (window.ResizeObserver) new ResizeObserver(() => this.draw()).observe(canvas);
        }

        set(points, from, to, unit) {
            // The picked point stays picked when the same data comes again with more points.
            const picked = this.points[this.cursor];
            Object.assign(this, { points, from, to: Math.max(to, from + 1), unit: unit || '' });
            this.pick(picked ? pointAt(points, picked.t) : -1);
        }

        // The points within the shown range, and the one before it (its value holds at the start).
        shown() {
            const first = Math.max(0, pointAt(this.points, this.from));
            return this.points.slice(first).filter(p => p.t <= this.to);
        }

        layout() {
            const w = this.canvas.clientWidth, h = this.canvas.clientHeight;
            return { left: 58, right: w - 12, top: 10, bottom: h - 28, w, h };
        }

        draw() {
            const canvas = this.canvas;
            if (!canvas.clientWidth) return;
            const g = fitCanvas(canvas);
            const c = colours(canvas), box = this.layout();
            const points = this.shown();
            let { low, high } = numbersIn(points);
            g.font = '12px system-ui, sans-serif';
            g.fillStyle = c.ink;
            if (!Number.isFinite(low)) {
                g.fillText('No numeric value in this range', box.left + 8, (box.top + box.bottom) / 2);
                low = 0; high = 1;
            }
            if (high - low < 1e-9) { low -= 1; high += 1; }
            const pad = (high - low) * 0.05;
            low -= pad; high += pad;
            const x = t => box.left + (box.right - box.left) * (t - this.from) / (this.to - this.from);
            const y = v => box.bottom - (box.bottom - box.top) * (v - low) / (high - low);
            this.scale = { x, y, box };
            g.strokeStyle = c.grid; g.lineWidth = 1;
            g.textAlign = 'right'; g.textBaseline = 'middle';
            const values = valueTicks(low, high, Math.max(2, Math.floor((box.bottom - box.top) / 40)));
            for (const v of values.ticks) {
                g.beginPath(); g.moveTo(box.left, y(v)); g.lineTo(box.right, y(v)); g.stroke();
                g.fillText(valueLabel(v, values.step) + (this.unit ? ' ' + this.unit : ''), box.left - 4, y(v), box.left - 6);
            }
            g.textAlign = 'center'; g.textBaseline = 'top';
            const times = timeTicks(this.from, this.to, Math.max(2, Math.floor((box.right - box.left) / 90)));
            for (const t of times.ticks) {
                g.beginPath(); g.moveTo(x(t), box.top); g.lineTo(x(t), box.bottom + 4); g.stroke();
                g.fillText(timeLabel(t, times.step), x(t), box.bottom + 7);
            }
            g.save();
            g.beginPath(); g.rect(box.left, box.top, box.right - box.left, box.bottom - box.top); g.clip();
            g.strokeStyle = c.line; g.lineWidth = 2;
            stepLine(g, points, t => x(Math.max(t, this.from)), y, Math.min(this.to, Date.now()));
            this.drawCursor(g, c, box);
            g.restore();
        }

        drawCursor(g, c, box) {
            const p = this.points[this.cursor];
            if (this.drag && this.drag.moved) {
                g.fillStyle = c.line; g.globalAlpha = 0.2;
                g.fillRect(Math.min(this.drag.x0, this.drag.x1), box.top, Math.abs(this.drag.x1 - this.drag.x0), box.bottom - box.top);
                g.globalAlpha = 1;
            }
            if (!p || !Number.isFinite(p.v)) return;
            const { x, y } = this.scale;
            g.fillStyle = c.line;
            g.beginPath(); g.arc(x(Math.max(p.t, this.from)), y(p.v), 4, 0, 2 * Math.PI); g.fill();
        }

        pick(index) {
            this.cursor = index;
            const p = this.points[index];
            if (this.readout)
                this.readout.textContent = p ? fullTime(p.t) + '  ' + (Number.isFinite(p.v) ? p.v : p.raw ?? '') +
                    (this.unit ? ' ' + this.unit : '') + (p.s ? '  (' + p.s + ')' : '') : '';
            this.draw();
        }

        timeAt(offsetX) {
            const box = this.layout();
            return this.from + (this.to - this.from) * (offsetX - box.left) / (box.right - box.left);
        }

        down(e) {
            this.drag = { x0: e.offsetX, x1: e.offsetX, moved: false };
            this.canvas.setPointerCapture?.(e.pointerId);
        }

        move(e) {
            if (this.drag) {
                this.drag.x1 = e.offsetX;
                this.drag.moved = this.drag.moved || Math.abs(this.drag.x1 - this.drag.x0) > 6;
            }
            this.pick(pointAt(this.points, Math.min(this.timeAt(e.offsetX), this.to)));
        }

        up(e) {
            const drag = this.drag;
            this.drag = null;
            if (!drag || !drag.moved) return this.move(e);
            const a = this.timeAt(Math.min(drag.x0, e.offsetX)), b = this.timeAt(Math.max(drag.x0, e.offsetX));
            if (this.zoomed) this.zoomed(Math.max(a, this.from), Math.min(b, this.to));
        }

        key(e) {
            const step = { ArrowLeft: -1, ArrowRight: 1, Home: -Infinity, End: Infinity }[e.key];
            if (step === undefined || this.points.length === 0) return;
            e.preventDefault();
            const shown = this.shown();
            const first = this.points.indexOf(shown[0]), last = first + shown.length - 1;
            const start = this.cursor < 0 ? (step > 0 ? first - 1 : last + 1) : this.cursor;
            this.pick(Math.max(first, Math.min(last, Number.isFinite(step) ? start + step : step > 0 ? last : first)));
        }
    }

    return { Chart, sparkline, timeTicks, valueTicks, timeLabel, fullTime, pointAt };
})();
