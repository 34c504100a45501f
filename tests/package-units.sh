#!/usr/bin/env bash
# The installed units under systemd itself (PID 1 in namespaces of its own, tools/systemd-sandbox.sh; run by
# package-test.sh, as root, with the package installed): a dynamic user owning the state folder and a 0600
# recording, a restart and a stop that lose nothing, the broker's password through LoadCredential, an upgrade
# restarting what runs, pontivo.service and pontivo@a side by side in either order, the online rating.
set -euo pipefail
deb=$1 sandbox=$(dirname "$0")/../tools/systemd-sandbox.sh etc=/etc/pontivo-test secret=pw$RANDOM$RANDOM
fail() { echo "package-units: $*" >&2; "$sandbox" run journalctl -q --no-pager -n 15 -u 'pontivo*' >&2 || true; exit 1; }
inside() { "$sandbox" run "$@"; }
get() { inside curl -fsS "http://127.0.0.1:$1/$2"; }
up() { inside sh -c "for _ in \$(seq 100); do curl -fs http://127.0.0.1:$1/test >/dev/null && exit; sleep 0.05; done; exit 1" ||
    fail "nothing on port $1"; }
pids() { inside systemctl show -P MainPID pontivo.service pontivo@a.service | tr '\n' ' '; }
active() { inside systemctl is-active -q pontivo.service pontivo@a.service || fail "not both running after $1"; }

trap '"$sandbox" stop; rm -rf $etc /etc/default/pontivo-a /etc/systemd/system/pontivo.service.d' EXIT
mkdir -p $etc && chmod 700 $etc
printf %s "$secret" >$etc/mqtt-password
mosquitto_passwd -c -b $etc/passwd pontivo "$secret" 2>/dev/null
printf 'listener 1883 127.0.0.1\nallow_anonymous false\npassword_file %s/passwd\nuser root\n' $etc >$etc/broker.conf
mkdir -p /etc/systemd/system/pontivo.service.d
printf '[Service]\nLoadCredential=mqtt-password:%s/mqtt-password\n' $etc >/etc/systemd/system/pontivo.service.d/test.conf
sed -i 's|^PONTIVO_OPTS="\(.*\)"$|PONTIVO_OPTS="\1 --mqtt mqtt://127.0.0.1 --mqtt-user pontivo --mqtt-password-file /run/credentials/pontivo.service/mqtt-password"|' /etc/default/pontivo
echo 'PONTIVO_OPTS="--com-port auto --http-port 8086 --record /var/lib/pontivo-a/record.db --restore"' >/etc/default/pontivo-a

"$sandbox" start >/dev/null
inside mosquitto -c $etc/broker.conf >/dev/null 2>&1 &
inside systemctl start pontivo.service && up 8085
[ "$(get 8085 set/kept/1)" = 1 ] || fail "/set/kept/1 answered otherwise"
uid=$(inside stat -c %u "/proc/$(inside systemctl show -P MainPID pontivo.service)")
owners=$(inside stat -L -c '%u %a' /var/lib/pontivo /var/lib/pontivo/record.db | tr '\n' ' ')
[[ $uid -ne 0 && $owners =~ ^$uid\ [0-7]+\ $uid\ 600\ $ ]] || fail "state folder and recording: '$owners', not the service's user $uid, 0600"
state=$(inside mosquitto_sub -h 127.0.0.1 -u pontivo -P "$secret" -t 'pontivo/$state' -C 1 -W 10) || true
[ "$state" = online ] || fail "the broker did not hear the service log in with its credential: '$state'"
inside systemctl restart pontivo.service && up 8085
[ "$(get 8085 get/kept)" = 1 ] || fail "a restart lost kept=1"
get 8085 set/last/2 >/dev/null && inside systemctl stop pontivo.service
result=$(inside systemctl show -P Result -P ExecMainStatus pontivo.service | tr '\n' ' ')
[ "$result" = "success 0 " ] || fail "systemctl stop ended as: $result"
inside systemctl start pontivo@a.service && inside systemctl start pontivo.service || fail "pontivo@a, then pontivo.service"
up 8085 && up 8086 && active "pontivo@a first"
[ "$(get 8085 get/last)" = 2 ] || fail "the value set just before the stop was lost"
before=$(pids)
inside env DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >/dev/null
after=$(pids)
read -r main instance <<<"$after"
[[ $main -gt 0 && $instance -gt 0 && " $before" != *" $main "* && " $before" != *" $instance "* ]] ||
    fail "an upgrade left the main PIDs $before as $after"
active "the upgrade"
inside systemctl stop pontivo.service pontivo@a.service
inside systemctl start pontivo.service && inside systemctl start pontivo@a.service || fail "pontivo.service, then pontivo@a"
active "pontivo.service first"
for unit in pontivo.service pontivo@a.service; do
    rating=$(inside systemd-analyze security --no-pager "$unit" | tail -n1)
    [[ $rating == *" 1.5 OK"* ]] || fail "$rating"
done
