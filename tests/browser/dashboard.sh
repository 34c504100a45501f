#!/usr/bin/env bash
# The dashboard at /ui/ in headless Chromium through puppeteer-core (tests/browser/dashboard); its
# screenshots are left in OUTDIR.   dashboard.sh PONTIVO PONTIVO-BOARD-SIM OUTDIR
here=$(cd "$(dirname "$0")/dashboard" && pwd)
[ -x /usr/bin/chromium ] || { echo "dashboard.sh: /usr/bin/chromium is missing: tools/install-deps.sh --tests installs it"; exit 1; }
command -v node >/dev/null || { echo "dashboard.sh: node is missing: tools/install-deps.sh --tests installs it"; exit 1; }
[ -d "$here/node_modules/puppeteer-core" ] ||
    { echo "dashboard.sh: puppeteer-core is missing: tools/install-deps.sh --tests installs it (npm ci --prefix $here)"; exit 1; }
exec node "$here/dashboard.test.mjs" "$@"
