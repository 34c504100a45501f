#!/usr/bin/env bash
# Runs systemd as PID 1 in private pid, mount and network namespaces, so that service units can
# be started for real on a machine whose own init is not systemd. The sandbox gets its own
# /tmp, /var/tmp and /run (systemd's boot-time clean-up would otherwise empty the machine's
# /tmp), only the loopback interface, and basic.target (no other service of the machine starts).
# The file system is otherwise the machine's: install packages before `start`. tests/package-test.sh
# starts the installed units in it; SYSTEMD_SANDBOX_STATE names the file that keeps its PID.
#
#   systemd-sandbox.sh start            start it; prints the PID of its systemd
#   systemd-sandbox.sh run CMD ARGS...  run a command inside (systemctl, curl, journalctl ...)
#   systemd-sandbox.sh stop             end it (every process inside goes with it)
set -euo pipefail
state=${SYSTEMD_SANDBOX_STATE:-$HOME/.systemd-sandbox.pid}
find_pid() { [[ -s $state ]] && kill -0 "$(cat "$state")" 2>/dev/null && cat "$state"; }
case "${1:-}" in
start)
  if pid=$(find_pid); then echo "$pid"; exit 0; fi
  setsid unshare --pid --fork --mount --mount-proc --net --propagation private bash -c '
    mount -t tmpfs tmpfs /tmp && mount -t tmpfs tmpfs /var/tmp && mount -t tmpfs tmpfs /run || exit 3
    ip link set lo up
    # Shared within the sandbox only (its mounts are private copies): systemd hands credentials over
    # by moving a mount made in a child namespace, which a private / would not propagate.
    mount --make-rshared /
    exec /lib/systemd/systemd --system --unit=basic.target' >/dev/null 2>&1 &
  launcher=$!
  for _ in $(seq 100); do
    pid=$(pgrep -P "$launcher" -x systemd || true)
    if [[ -n $pid ]] && nsenter -t "$pid" -p -m -n systemctl is-system-running --wait >/dev/null 2>&1; then
      echo "$pid" >"$state"; echo "$pid"; exit 0
    fi
    sleep 0.2
  done
  echo "systemd did not come up in the sandbox" >&2; exit 1 ;;
run)
  shift; pid=$(find_pid) || { echo "no sandbox: start it first" >&2; exit 1; }
  exec nsenter -t "$pid" -p -m -n "$@" ;;
stop)
  if pid=$(find_pid); then kill -9 "$pid"; rm -f "$state"; fi ;;
*)
  sed -n '2,11p' "$0"; exit 2 ;;
esac
