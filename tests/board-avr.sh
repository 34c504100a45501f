#!/usr/bin/env bash
# The example sketch on a simulated AVR: after a reset with its port open, its boot report turns the LED off
# and --board-hello alone brings a client's led=on back; sketches printing plotter lines and JSON lines feed the
# store with --frames lines and --frames json.   board-avr.sh PONTIVO BUILD_DIR
avr=$2/pontivo-board-avr elf=$2/pontivo_board.elf
[ -x "$avr" ] && [ -f "$elf" ] || { echo "board-avr.sh: no $avr (needs simavr, gcc-avr, arduino-core-avr); skipped"; exit 77; }
dir=$(mktemp -d) && trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$dir"' EXIT
url=http://127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
fail() { echo "board-avr.sh ${hello:-without --board-hello}: $*"; cat "$dir"/*.err; exit 1; }
within() { for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done; return 1; } # 30 s
get() { [ "$(curl -sf "$url/get/$1")" = "$2" ]; }
# The values the store took since the mark, in order, as one line.
since_mark() { sed -n 's/^data: //p' "$dir/events" | tail -n +$((mark + 1)) | tr '\n' ' '; }
put_mark() { mark=$(grep -c '^data: ' "$dir/events"); }
seen() { [[ $(since_mark) =~ $1 ]]; }
for hello in '--board-hello hello' ''; do
    "$avr" --link "$dir/board" "$elf" >/dev/null 2>"$dir/avr.err" &
    avr_pid=$!
    # shellcheck disable=SC2086
    "$1" --headless --http-port "${url##*:}" --com-port "$dir/board" $hello 2>"$dir/server.err" &
    within get hello 1 && within get led off || fail "no {hello=1} and {led=off} from the sketch"
    curl -sN "$url/events" >"$dir/events" &
    within test -s "$dir/events" && put_mark
    curl -sf "$url/set/led/on" >/dev/null # the client's value, then the sketch's report of it
    within seen 'led=on.*led=on' || fail "the sketch did not report led=on: $(since_mark)"
    put_mark && kill -USR1 $avr_pid
    within seen 'led=off.*uptime=' || fail "no boot report after the reset: $(since_mark)" # and a second more
    if [ -n "$hello" ]; then
        seen 'led=off.*led=on.*uptime=' || fail "led=on did not come back: $(since_mark)"
        grep -q "the board came back" "$dir/server.err" || fail "no 'the board came back' on standard error"
    else
        ! seen 'led=off.*led=on' && get led off || fail "led=on came back without it: $(since_mark)"
    fi
    kill $(jobs -p) && wait
done
# Sketches that know nothing of Pontivo, read as they are: plotter lines and JSON lines; each banner is one malformed line.
for pair in lines:plotter json:json; do
    frames=${pair%%:*} sketch=$2/${pair#*:}_board.elf hello="${pair#*:}_board with --frames ${pair%%:*}"
    [ -f "$sketch" ] || fail "no $sketch"
    "$avr" --link "$dir/$frames" "$sketch" >/dev/null 2>"$dir/avr.err" &
    "$1" --headless --http-port "${url##*:}" --com-port "$dir/$frames" --frames $frames 2>"$dir/server.err" &
    if [ $frames = lines ]; then
        within get count 2 || fail "no count:2 from the plotter sketch"
    else
        within get board.uptime 1 && get board.ok true || fail "no board.uptime 1 and board.ok true from the JSON sketch"
    fi
    [[ $(curl -sf "$url/get/temp") =~ ^[0-9]+\.[0-9][0-9]$ ]] || fail "temp is '$(curl -s "$url/get/temp")'"
    curl -sf "$url/metrics" | grep -q '^pontivo_frames_malformed_total 1$' || fail "the banner is not one malformed line"
    kill $(jobs -p) && wait
done
