#!/usr/bin/env bash
# Another machine as a network namespace: a veth pair between two namespaces made here (10.231.N.1 serves,
# 10.231.N.2 asks), removed at the end. Plain HTTP from there gets a 308 to HTTPS, HTTPS asks for a login
# and takes it; loopback inside the server's namespace stays plain.   netns.sh PONTIVO
set -u
[ "$(id -u)" = 0 ] || { echo "netns.sh: needs root for network namespaces"; exit 1; }
for tool in ip openssl curl; do
    command -v $tool >/dev/null || { echo "netns.sh: $tool is missing"; exit 1; }
done
n=$(( $$ % 200 + 20 )) srv="pv-srv-$$" cli="pv-cli-$$"
dir=$(mktemp -d)
cleanup() { kill $(jobs -p) 2>/dev/null; wait; ip netns del "$srv" 2>/dev/null; ip netns del "$cli" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
fail() { echo "netns.sh: $*"; cat "$dir/server.err" 2>/dev/null; exit 1; }
ip netns add "$srv" && ip netns add "$cli" || fail "cannot make namespaces"
ip link add "pvs$n" netns "$srv" type veth peer name "pvc$n" netns "$cli" || fail "cannot make a veth pair"
ip -n "$srv" addr add "10.231.$n.1/24" dev "pvs$n" && ip -n "$cli" addr add "10.231.$n.2/24" dev "pvc$n"
for ns in "$srv" "$cli"; do ip -n "$ns" link set lo up; done
ip -n "$srv" link set "pvs$n" up && ip -n "$cli" link set "pvc$n" up
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$dir/key.pem" -out "$dir/cert.pem" \
    -days 2 -subj /CN=pontivo -addext "subjectAltName=IP:10.231.$n.1" 2>/dev/null && chmod 600 "$dir/key.pem"
echo 'open sesame' | "$1" --users "$dir/users" --add-user alice --role write 2>/dev/null || fail "--add-user failed"
ip netns exec "$srv" "$1" --headless --http-port 8085 --com-port "$dir/board" --users "$dir/users" \
    --tls-cert "$dir/cert.pem" --tls-key "$dir/key.pem" 2>"$dir/server.err" &
in_cli() { ip netns exec "$cli" "$@"; }
for _ in $(seq 100); do in_cli curl -s "http://10.231.$n.1:8085/" >/dev/null && break; sleep 0.1; done
head=$(in_cli curl -s -D - -o /dev/null "http://10.231.$n.1:8085/get/a?x=1")
[[ $head == *$'308 Permanent Redirect\r'* && $head == *$"Location: https://10.231.$n.1:8443/get/a?x=1"$'\r'* ]] ||
    fail "plain HTTP from the other namespace: $head"
tls=(-s --cacert "$dir/cert.pem" -o /dev/null -w '%{http_code}')
[ "$(in_cli curl "${tls[@]}" "https://10.231.$n.1:8443/get/a")" = 401 ] || fail "HTTPS without a login is served"
[ "$(in_cli curl "${tls[@]}" --location-trusted -u 'alice:open sesame' "http://10.231.$n.1:8085/set/a/1")" = 200 ] ||
    fail "the 308 followed with a login is not served"
[ "$(ip netns exec "$srv" curl -s -u 'alice:open sesame' "http://127.0.0.1:8085/get/a")" = 1 ] ||
    fail "loopback is not served plain"
echo "netns.sh: passed"
