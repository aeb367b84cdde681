#!/bin/sh
# A first run to watch, without a repeater or a network: the daemon in the
# master mode between the simulated repeater and the simulated master on
# loopback, a call each way every 10 s. Ports of their own (base 42000, or
# DEMO_PORT_BASE), so it runs beside an installed ferrule. Ctrl-C stops all
# three.
#
#   sim/demo.sh BUILD_DIR        (make demo builds and runs it)
set -eu

build=$(cd "${1:?usage: sim/demo.sh BUILD_DIR}" && pwd)
base=${DEMO_PORT_BASE:-42000}
control=$((base + 5)) voice=$((base + 6)) rdac=$((base + 7))
master=$((base + 31)) link=$((base + 32)) status=$((base + 80))
# The network's call lasts 3 superframes (about 1.1 s), the repeater's 6, so
# that its position (sent after the alias) arrives too; the gaps make each
# come every 10 s.
call_gap_ms=8900 rf_call_gap_ms=7800

dir=$(mktemp -d "${TMPDIR:-/tmp}/ferrule-demo.XXXXXX")
# The configuration holds a (demo) password: readable by this user only.
umask 077
# Names for the two callers, as a DMR ID list gives them.
printf '2621234\tDL1ABC\tHans\n2627777\tDL7NET\tNetty\n' >"$dir/DMRIds.dat"
cat >"$dir/demo.cfg" <<EOF
Location_Name=Demo
Location_CC=01
Location_Watt=05
Location_Latitude=52.5200
Location_Longitude=13.4050
DMRGateway_mode=master
DMRGateway_password=demo
DMRGateway_address=127.0.0.1
DMRGateway_port=$master
DMRGateway_local_address=127.0.0.1
DMRGateway_local_port=$link
Hytera_RPT_local_address=127.0.0.1
Hytera_RPT_PORT=$control
Hytera_RPT_AUDIO_PORT=$voice
Hytera_RPT_RDAC_PORT=$rdac
Hytera_RPT_allow=127.0.0.2
Status_port=$status
DMRIds_file=DMRIds.dat
EOF

daemon="" peer="" repeater="" show=""
stop() {
    trap - INT TERM EXIT
    for pid in $daemon $repeater $peer; do
        kill -INT "$pid" 2>/dev/null || true
    done
    for pid in $daemon $repeater $peer; do
        wait "$pid" 2>/dev/null || true
    done
    [ -z "$show" ] || kill "$show" 2>/dev/null || true
    echo "Demo stopped; the simulators' output was in $dir (removed)."
    rm -rf "$dir"
}
trap stop EXIT
trap 'exit 0' INT TERM

cd "$dir"
"$build/ferrule" demo.cfg >daemon.txt 2>&1 &
daemon=$!
tail -f daemon.txt &
show=$!
"$build/ferrule_sim_peer" --port "$master" --mode master --password demo --duration 86400 \
    --call ts=1,type=group,src=2627777,dst=91,superframes=3 --call-gap-ms "$call_gap_ms" \
    --talker-alias "DL7NET Netty" --alias-format utf8 \
    --repeat 10000 --calls-on-signal >peer.txt 2>&1 &
peer=$!
"$build/ferrule_sim_repeater" --local 127.0.0.2 --gateway 127.0.0.1 --control-port "$control" \
    --voice-port "$voice" --rdac-port "$rdac" --id 262101 --callsign DB0DEM \
    --call ts=2,type=group,src=2621234,dst=262,superframes=6 --call-gap-ms "$rf_call_gap_ms" \
    --talker-alias "DL1ABC Hans" --position 52.52,13.405 \
    --repeat 10000 --calls-on-signal --quiet >repeater.txt 2>&1 &
repeater=$!

sleep 1
echo
echo "=== ferrule demo: status page on http://127.0.0.1:$status/"
echo "=== The repeater registers and logs in within about 10 s; then a call each"
echo "=== way every 10 s. Ctrl-C stops the daemon and both simulators."
echo
# The calls start once the repeater's link is up, so that the first is heard.
tries=0
while ! grep -q "repeater 262101 logged in" daemon.txt && [ "$tries" -lt 600 ]; do
    kill -0 "$daemon" 2>/dev/null || exit 1
    sleep 0.1
    tries=$((tries + 1))
done
kill -USR2 "$repeater" "$peer"
wait "$daemon"
