#!/usr/bin/env bash
# Connection-per-request HTTP benchmark: builds Pontivo in Release, runs the
# shared peer kit with nginx, the C peer and Pontivo side by side in one run,
# then prints Pontivo's ratios to nginx against the targets.
# All load goes to 127.0.0.1. See ../README.md.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
KIT=$(cd "$REPO/../shared/bench-peers" 2>/dev/null && pwd) || KIT=""
BUILD=$REPO/build-bench
PORT=18085 PEERS=nginx,c OUT="" BUILD_IT=1 QUICK=0 REV=""
RUNS="" DUR="" WARM="" PROBE_N=""
KIT_EXTRA=()

usage() {
  cat <<USAGE
usage: $0 [options] [-- more options for the kit's run.sh]
  --quick            1 run x 3 s, 1 s warm-up, 500 probe cycles (about 1.5 min)
                     (default: 3 runs x 8 s, 2 s warm-up, 2000 probe cycles, about 10 min)
  --runs N --duration S --warm S --probe-n N   override the above
  --peers LIST       built-in peers to compare with (default $PEERS; nginx is needed for the ratios)
  --port N           Pontivo's port (default $PORT)
  --build-dir DIR    Release build folder (default $BUILD)
  --no-build         use the binary already in the build folder
  --rev REV          build this git revision (exported with git archive) instead of
                     the working tree, so edits in progress do not change the figures
  --kit DIR          peer kit folder (default REPO/../shared/bench-peers)
  --out DIR          results folder (default /tmp/pontivo-bench-http-<time>)
USAGE
}

while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1; shift ;;
    --runs) RUNS=$2; shift 2 ;;
    --duration) DUR=$2; shift 2 ;;
    --warm) WARM=$2; shift 2 ;;
    --probe-n) PROBE_N=$2; shift 2 ;;
    --peers) PEERS=$2; shift 2 ;;
    --port) PORT=$2; shift 2 ;;
    --build-dir) BUILD=$(realpath -m "$2"); shift 2 ;;
    --no-build) BUILD_IT=0; shift ;;
    --rev) REV=$2; shift 2 ;;
    --kit) KIT=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --out) OUT=$(realpath -m "$2"); shift 2 ;;
    --) shift; KIT_EXTRA+=("$@"); break ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
  esac
done

if [ "$QUICK" = 1 ]; then
  RUNS=${RUNS:-1} DUR=${DUR:-3} WARM=${WARM:-1} PROBE_N=${PROBE_N:-500}
else
  RUNS=${RUNS:-3} DUR=${DUR:-8} WARM=${WARM:-2} PROBE_N=${PROBE_N:-2000}
fi
OUT=${OUT:-/tmp/pontivo-bench-http-$(date +%Y%m%d-%H%M%S)}

[ -n "$KIT" ] && [ -f "$KIT/run.sh" ] || { echo "peer kit not found (give --kit DIR)" >&2; exit 1; }
# The kit splits --extra at the last ':' and runs the command through bash -c.
case "$HERE$BUILD" in *[[:space:]:]*) echo "paths must not hold spaces or ':'" >&2; exit 2 ;; esac

if [ "$BUILD_IT" = 1 ]; then
  SRC=$REPO
  if [ -n "$REV" ]; then
    COMMIT=$(git -C "$REPO" rev-parse --verify "$REV^{commit}") || exit 1
    SRC=$BUILD.src
    rm -rf "$SRC" && mkdir -p "$SRC" && git -C "$REPO" archive "$COMMIT" | tar -x -C "$SRC" || exit 1
    echo "source: commit $COMMIT"
  else
    echo "source: working tree at $(git -C "$REPO" describe --always --dirty 2>/dev/null || echo '?')"
  fi
  echo "building Release into $BUILD"
  # A cache made from another source folder would make cmake refuse.
  if [ -f "$BUILD/CMakeCache.txt" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$SRC" "$BUILD/CMakeCache.txt"; then
    rm -rf "$BUILD/CMakeCache.txt" "$BUILD/CMakeFiles"
  fi
  cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPONTIVO_BUILD_TESTS=OFF >/dev/null || exit 1
  cmake --build "$BUILD" -j2 >/dev/null || { cmake --build "$BUILD" -j1; exit 1; }
fi
[ -x "$BUILD/pontivo" ] || { echo "no binary at $BUILD/pontivo" >&2; exit 1; }

# Other work on the machine skews every figure; say how busy it was before the load.
idle_pct() { awk '/^cpu /{print $5+$6, $2+$3+$4+$5+$6+$7+$8+$9}' /proc/stat; }
read -r i0 t0 < <(idle_pct); sleep 1; read -r i1 t1 < <(idle_pct)
echo "CPU busy before the load: $(( 100 - 100 * (i1 - i0) / (t1 - t0 > 0 ? t1 - t0 : 1) ))% of all CPUs; load average $(cut -d' ' -f1-3 /proc/loadavg)"

# CPU ticks: whole machine busy/total, and everything this script's waited children used.
machine_ticks() { awk '/^cpu /{print $2+$3+$4+$7+$8+$9, $2+$3+$4+$5+$6+$7+$8+$9}' /proc/stat; }
own_ticks() { sed 's/.*) //' /proc/$$/stat | awk '{print $14 + $15}'; }
read -r b0 t0 < <(machine_ticks); o0=$(own_ticks)

# The kit writes only under --out, so it runs in place even when its folder is read-only.
bash "$KIT/run.sh" --runs "$RUNS" --duration "$DUR" --warm "$WARM" --probe-n "$PROBE_N" \
  --peers "$PEERS" --out "$OUT" \
  --extra "pontivo=$HERE/serve.sh $BUILD/pontivo $PORT:$PORT" "${KIT_EXTRA[@]}"

[ -s "$OUT/results.tsv" ] || { echo "kit produced no results in $OUT" >&2; exit 1; }
read -r b1 t1 < <(machine_ticks); o1=$(own_ticks)
other=$(( (b1 - b0) - (o1 - o0) )); [ "$other" -lt 0 ] && other=0
echo
other_pct=$(( 100 * other / (t1 - t0 > 0 ? t1 - t0 : 1) ))
{ echo "CPU used by other work on the machine during the load: $other_pct% of all CPUs ($(( other / $(getconf CLK_TCK) )) CPU-seconds)"
  [ "$other_pct" -le 10 ] || echo "WARNING: other work competed with the servers and wrk; rerun on a quiet machine"
} | tee "$OUT/other-load.txt"
python3 "$HERE/ratios.py" "$OUT/results.tsv" --peer pontivo --ref nginx | tee "$OUT/ratios.txt"
exit "${PIPESTATUS[0]}"
