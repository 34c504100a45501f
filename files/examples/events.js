// The example pages' side of /events. followEvents keeps `variables` (a Map) equal to the store: the
// snapshot after each (re)connect replaces it, then every change is applied as it happens and
// changed(name) is called (without a name for a reset). The board's link shows in #link and
// #linkDetail, a lost connection in #problem. Returns false where the browser has no EventSource.
function followEvents(variables, changed) {
    if (!window.EventSource) {
        document.getElementById('linkDetail').textContent = '(this browser cannot receive /events)';
        return false;
    }
    const problem = document.getElementById('problem');
    const events = new EventSource('/events');
    events.onopen = () => {
        variables.clear();
        problem.textContent = '';
    };
    events.onerror = () => {
        showLink('unknown');
        problem.textContent = 'Pontivo does not answer; trying again.';
    };
    events.addEventListener('set', event => {
        const equals = event.data.indexOf('=');
        const name = event.data.slice(0, equals);
        variables.set(name, event.data.slice(equals + 1));
        changed(name);
    });
    events.addEventListener('unset', event => {
        variables.delete(event.data);
        changed(event.data);
    });
    events.addEventListener('reset', () => {
        variables.clear();
        changed();
    });
    events.addEventListener('link', event => showLink(event.data));
    return true;
}

// "open DEVICE" or "closed REASON" (or "unknown" while Pontivo does not answer).
function showLink(state) {
    const space = state.indexOf(' ');
    const link = document.getElementById('link');
    link.textContent = space < 0 ? state : state.slice(0, space);
    link.className = link.textContent === 'open' ? '' : 'error';
    document.getElementById('linkDetail').textContent = space < 0 ? '' : state.slice(space + 1);
}
