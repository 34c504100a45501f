#!/usr/bin/env bash
# The example pages in headless Chromium against the built program: run.sh PONTIVO WORK_FOLDER
# (exit 77: skipped). The driver is installed from the lock file once; it never downloads a browser.
set -euo pipefail
export PONTIVO=$1 CHROMIUM=${CHROMIUM:-/usr/bin/chromium}
command -v npm >/dev/null && [ -x "$CHROMIUM" ] || { echo "SKIPPED: needs node, npm and Chromium (tools/install-deps.sh --tests)"; exit 77; }
mkdir -p "$2" && cp "$(dirname "$0")"/{package.json,package-lock.json,pages.test.mjs} "$2/" && cd "$2"
if ! cmp -s package-lock.json node_modules/.installed-lock; then
    PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
    cp package-lock.json node_modules/.installed-lock
fi
exec node --test --test-reporter=spec pages.test.mjs
