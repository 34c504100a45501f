#!/usr/bin/env bash
# Non-blank lines of tests/ (C++, scripts, CMake, the browser test; not the fuzz corpus or lock
# files) against src/ + tools/board-sim/. Our rule: tests at most 0.40 of the code.
#   tools/test-ratio.sh
set -euo pipefail
cd "$(dirname "$0")/.."
count() { find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name 'CMakeLists.txt' -o -name '*.sh' -o -name '*.mjs' \
    -o -name 'package.json' \) -not -path '*/corpus/*' -print0 | xargs -0 cat | grep -cv '^\s*$'; }
tests=$(count tests)
code=$(count src tools/board-sim)
echo "tests $tests / code $code = $(awk "BEGIN { printf \"%.3f\", $tests / $code }")"
