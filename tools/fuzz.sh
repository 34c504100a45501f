#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a while.
#   tools/fuzz.sh [--seconds N] [--jobs J] [--build-only] [TARGET...]
#   (default 30 s each, one target per core; targets: request dispatch frames lines pattern files recording authorization)
# New inputs go to build-fuzz/corpus/TARGET; the checked-in seeds stay in tests/fuzz/corpus.
# A failing input is kept as build-fuzz/artifacts/TARGET-crash-*; replay it with
#   build-fuzz/tests/fuzz/fuzz_TARGET FILE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=30
build_only=false
jobs_max=$(nproc)
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=$2; shift 2 ;;
        --jobs) jobs_max=$2; shift 2 ;;
        --build-only) build_only=true; shift ;;
        -h|--help) sed -n 2,7p "$0"; exit 0 ;;
        *) targets+=("$1"); shift ;;
    esac
done
[ ${#targets[@]} -eq 0 ] && targets=(request dispatch frames lines pattern files recording authorization)

for tool in clang-14 clang++-14; do
    command -v "$tool" >/dev/null || { echo "fuzz: $tool is missing; run tools/install-deps.sh --tests" >&2; exit 1; }
done
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DPONTIVO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
$build_only && exit 0

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/artifacts"
# One target per core at a time; each leaves its log and, on failure, a marker.
run_target() {
    local target=$1 fuzzer="$build/tests/fuzz/fuzz_$1" log="$build/fuzz_$1.log"
    mkdir -p "$build/corpus/$target"
    rm -f "$build/fuzz_$target.failed"
    "$fuzzer" "$build/corpus/$target" "$root/tests/fuzz/corpus/$target" -max_total_time="$seconds" \
        -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1 || touch "$build/fuzz_$target.failed"
}
for target in "${targets[@]}"; do
    [ -x "$build/tests/fuzz/fuzz_$target" ] || { echo "fuzz: no target named '$target'" >&2; exit 2; }
done
for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
    echo "fuzz: $target for ${seconds} s"
    run_target "$target" &
done
wait

failed=()
for target in "${targets[@]}"; do
    if [ -e "$build/fuzz_$target.failed" ]; then
        echo "fuzz: $target FAILED; its log follows (input kept in $build/artifacts/)" >&2
        tail -60 "$build/fuzz_$target.log" >&2
        failed+=("$target")
    else
        echo "fuzz: $target: $(grep -E "DONE" "$build/fuzz_$target.log" | tail -1)"
    fi
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzz: failures in ${failed[*]}" >&2; exit 1; }
echo "fuzz: all targets ran clean"
