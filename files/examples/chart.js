// The example pages' time chart: points [{t: ms since 1970, v: number}] over [from, to] on a canvas,
// a step line (a value holds until the next write), with its range written into `rangeText`.
function drawTimeChart(canvas, points, from, to, rangeText) {
    const g = canvas.getContext('2d');
    const w = canvas.width, h = canvas.height, pad = 10;
    g.clearRect(0, 0, w, h);
    const numbers = points.filter(p => Number.isFinite(p.v));
    if (rangeText)
        rangeText.textContent = '';
    if (numbers.length === 0)
        return;
    let low = Math.min(...numbers.map(p => p.v)), high = Math.max(...numbers.map(p => p.v));
    if (rangeText)
        rangeText.textContent = 'from ' + low.toPrecision(4) + ' to ' + high.toPrecision(4);
    if (high - low < 1e-9) { low -= 1; high += 1; }
    const x = t => pad + (w - 2 * pad) * Math.min(1, Math.max(0, (t - from) / Math.max(1, to - from)));
    const y = v => h - pad - (h - 2 * pad) * (v - low) / (high - low);
    g.strokeStyle = '#d8dee5';
    g.beginPath();
    g.moveTo(pad, y(low)); g.lineTo(w - pad, y(low));
    g.moveTo(pad, y(high)); g.lineTo(w - pad, y(high));
    g.stroke();
    g.strokeStyle = '#0a7d6f';
    g.lineWidth = 2;
    g.beginPath();
    let last = null;
    for (const p of points) {
        if (!Number.isFinite(p.v)) { last = null; continue; }
        if (last === null) g.moveTo(x(p.t), y(p.v));
        else { g.lineTo(x(p.t), y(last)); g.lineTo(x(p.t), y(p.v)); }
        last = p.v;
    }
    if (last !== null)
        g.lineTo(x(to), y(last));
    g.stroke();
}

// The path segment for a name as /api/ gives it: the exact bytes when they are not valid UTF-8.
function apiName(variable) {
    if (variable.name_base64 === undefined)
        return encodeURIComponent(variable.name);
    return Array.from(atob(variable.name_base64), c => '%' + c.charCodeAt(0).toString(16).padStart(2, '0')).join('');
}
