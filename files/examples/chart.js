// The example pages' time chart, drawn by the dashboard's chart code (/ui/chart.js, built into Pontivo): points
// [{t: ms since 1970, v: number, s: source}] over [from, to] with labelled axes in local time and the unit, a
// read-out of the point under the pointer below the canvas, and `zoomed(from, to)` called for a drag across it.
// The values' range goes into `rangeText`.
function drawTimeChart(canvas, points, from, to, rangeText, unit, zoomed) {
    if (!canvas.chart) {
        const readout = document.createElement('p');
        readout.className = 'mono muted';
        readout.setAttribute('aria-live', 'polite');
        canvas.after(readout);
        canvas.tabIndex = 0;
        canvas.style.touchAction = 'pan-y';
        canvas.chart = new PontivoChart.Chart(canvas, readout, (a, b) => canvas.zoomed && canvas.zoomed(a, b));
    }
    canvas.zoomed = zoomed;
    const numbers = points.filter(p => Number.isFinite(p.v)).map(p => p.v);
    if (rangeText)
        rangeText.textContent = numbers.length === 0 ? ''
            : 'from ' + Math.min(...numbers).toPrecision(4) + ' to ' + Math.max(...numbers).toPrecision(4);
    canvas.chart.set(points, from, to, unit);
}

// The path segment for a name as /api/ gives it: the exact bytes when they are not valid UTF-8.
function apiName(variable) {
    if (variable.name_base64 === undefined)
        return encodeURIComponent(variable.name);
    return Array.from(atob(variable.name_base64), c => '%' + c.charCodeAt(0).toString(16).padStart(2, '0')).join('');
}
