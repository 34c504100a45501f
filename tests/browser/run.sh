#!/usr/bin/env bash
# Opens the example pages in headless Chromium against the built program.
# Usage: run.sh PONTIVO_EXECUTABLE WORK_FOLDER   (exit 77: skipped, no browser or no Node)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pontivo=$1
work=$2
chromium=${CHROMIUM:-/usr/bin/chromium}

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    echo "SKIPPED: the browser test needs node and npm (tools/install-deps.sh --tests installs them)"
    exit 77
fi
if [ ! -x "$chromium" ]; then
    echo "SKIPPED: no Chromium at $chromium (tools/install-deps.sh --tests installs Debian's chromium)"
    exit 77
fi

# The driver lives in the build tree, installed from the lock file once; it never downloads a browser.
mkdir -p "$work"
cp "$here/package.json" "$here/package-lock.json" "$here/pages.test.mjs" "$work/"
if ! cmp -s "$work/package-lock.json" "$work/node_modules/.installed-lock"; then
    (cd "$work" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
    cp "$work/package-lock.json" "$work/node_modules/.installed-lock"
fi

cd "$work"
PONTIVO="$pontivo" CHROMIUM="$chromium" exec node --test --test-reporter=spec pages.test.mjs
