#!/usr/bin/env bash
# Non-blank lines of the tests (everything in tests/ but data such as the fuzz corpus: C++, scripts,
# CMake) against the code (the C++ of src/ and tools/board-sim/). Our rule: at most 0.40.
#   tools/test-ratio.sh
set -euo pipefail
cd "$(dirname "$0")/.."
nonblank() { xargs -r cat | grep -cv '^\s*$'; }
tests=$(git ls-files tests | grep -v '/corpus/' | grep -E '\.(cpp|h|hpp|py|sh|js|mjs|txt|cmake)$' | nonblank)
code=$(git ls-files src tools/board-sim | grep -E '\.(cpp|h|hpp)$' | nonblank)
echo "tests $tests / code $code = $(awk "BEGIN { printf \"%.3f\", $tests / $code }")"
