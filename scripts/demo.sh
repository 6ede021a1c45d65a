#!/usr/bin/env bash
# Demo: builds the tree, starts the module simulator and the gateway on it
# (CTS modem line through the simulator's shim), shows the documents of the
# receive port, sends one command of each kind to the send port with the
# simulator raising clear-to-send, and stops cleanly after N seconds
# (argument, default 20) or on Ctrl-C.
#   bash scripts/demo.sh [SECONDS] [gpio|mqtt|console]
# With "gpio" (root only) the gateway reads clear-to-send as falling edges of
# GPIO pin 4 instead: the simulator serves a sysfs GPIO stand-in at
# /sys/class/gpio in a private mount namespace, and the gateway runs in it.
# With "mqtt" a private mosquitto broker runs as a child on a free port, the
# gateway keeps its ports on 127.0.0.1 and OrvelMqttBridge joins the two; the
# demo prints what a subscriber to orvel/# sees and publishes one command.
# With "console" the same broker also serves the console page (console/) on a
# websockets listener, the simulator reports by itself, and the demo prints
# the page's address and keeps running for SECONDS (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=20
mode=ioctl
for arg in "$@"; do
  case "$arg" in
    gpio|ioctl|mqtt|console) mode="$arg" ;;
    *[!0-9]*|'') echo "usage: bash scripts/demo.sh [SECONDS] [gpio|mqtt|console]" >&2; exit 2 ;;
    *) secs="$arg" ;;
  esac
done
if [ "$mode" = gpio ] && [ "$(id -u)" != 0 ]; then
  echo "gpio mode needs root: the GPIO stand-in is mounted in a private mount namespace" >&2
  exit 1
fi
build="${BUILD_DIR:-build}"   # another build tree may be named instead

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  bash scripts/deps.sh demo
  cmake -B "$build" >/dev/null
  cmake --build "$build" -j2 >/dev/null
fi

sim_bin="$(find "$build" -type f -name OrvelModuleSim -perm -u+x | head -n1)"
shim="$(find "$build" -type f -name '*.so' | grep -i cts | head -n1 || true)"
[ -x "$build/OrvelGateway" ] || { echo "gateway not built" >&2; exit 1; }
[ -n "$sim_bin" ] || { echo "simulator not built" >&2; exit 1; }

work="$(mktemp -d)"
recv_port=$((20000 + RANDOM % 20000))
send_port=$((recv_port + 1))
pids=()
cleanup() {
  trap - EXIT INT TERM
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "--- stopped; gateway log in $work/gateway.log"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# The simulator prints the pty's slave path first, takes frames to send as
# hex lines on its standard input, raises clear-to-send periodically and
# answers the commands it receives.
mkfifo "$work/sim.in"
sim_args=()
[ "$mode" = gpio ] && sim_args=(--gpio-sysfs --gpio-pin 4)
[ "$mode" = console ] && sim_args=(--rate 2 --nodes 8)
"$sim_bin" --log "$work/sim.log" --cts-socket "$work/cts.sock" --stdin-frames "${sim_args[@]}" \
  <"$work/sim.in" >"$work/sim.out" 2>&1 &
sim_pid=$!
pids+=("$sim_pid")
exec 3>"$work/sim.in"
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
slave="$(head -n1 "$work/sim.out")"
case "$slave" in /dev/*) ;; *) echo "simulator failed: $(cat "$work/sim.out")" >&2; exit 1 ;; esac
echo "--- simulator on $slave"

config="uart=$slave,recvPort=$recv_port,sendPort=$send_port,ctsSource=ioctl"
[ "$mode" = gpio ] && config="uart=$slave,recvPort=$recv_port,sendPort=$send_port,ctsSource=gpio"
[ "$mode" = mqtt ] || [ "$mode" = console ] && config="$config,bindAddress=127.0.0.1"
if [ "$mode" = gpio ]; then
  # Joins the simulator's mount namespace, where /sys/class/gpio is the stand-in.
  nsenter --mount="/proc/$sim_pid/ns/mnt" --wd="$PWD" \
    "$build/OrvelGateway" -C "$config,gpioPin=4" >"$work/gateway.log" 2>&1 &
else
  env ORVEL_SIM_PTY="$slave" ORVEL_CTS_SOCKET="$work/cts.sock" ${shim:+LD_PRELOAD="$PWD/$shim"} \
    "$build/OrvelGateway" -C "$config" >"$work/gateway.log" 2>&1 &
fi
pids+=($!)
for _ in $(seq 100); do grep -q '^delimiter=' "$work/gateway.log" 2>/dev/null && break; sleep 0.1; done
cat "$work/gateway.log"

# Receive-port reader: every document the gateway broadcasts.
(exec 4<>"/dev/tcp/127.0.0.1/$recv_port"; while IFS= read -r line <&4; do echo "recv: $line"; done) &
pids+=($!)
sleep 0.5

echo "--- frames from the module"
for frame in 600105 50021234 520600070003012a 56020102; do
  echo "$frame" >&3
  sleep 0.3
done

send() {
  echo "send: $1"
  exec 5<>"/dev/tcp/127.0.0.1/$send_port"
  printf '%s' "$1" >&5
  # The simulator raises clear-to-send by itself; the reply follows it.
  IFS= read -r -t 10 reply <&5 || true
  exec 5>&-
  echo "reply: $reply"
}

# A free port: one nobody answers on.
free_port() {
  local port=$((40000 + RANDOM % 20000))
  while (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  echo "$port"
}

# A private broker on a free port with its own configuration (extra lines as
# arguments); as root it is told to stay root (it refuses otherwise).
start_broker() {
  broker_port="$(free_port)"
  { echo "listener $broker_port 127.0.0.1"; echo "allow_anonymous true"; echo "persistence false"
    [ "$(id -u)" = 0 ] && echo "user root"; printf '%s\n' "$@"; } >"$work/broker.conf"
  mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do (echo >"/dev/tcp/127.0.0.1/$broker_port") 2>/dev/null && break; sleep 0.1; done
}

start_bridge() {
  "$build/OrvelMqttBridge" -C "brokerPort=$broker_port,recvPort=$recv_port,sendPort=$send_port,gatewayId=demo,statsSecs=5" \
    >"$work/bridge.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do grep -q '^Connected to broker' "$work/bridge.log" && break; sleep 0.1; done
}

if [ "$mode" = console ]; then
  # The broker serves the page and MQTT over WebSockets on one port.
  ws_port="$(free_port)"
  start_broker "listener $ws_port 127.0.0.1" "protocol websockets" "http_dir $PWD/console"
  for _ in $(seq 50); do (echo >"/dev/tcp/127.0.0.1/$ws_port") 2>/dev/null && break; sleep 0.1; done
  start_bridge
  mosquitto_pub -p "$broker_port" -V 5 -t orvel/demo/tx -m '{"objectType":"neighborListRequest"}'
  mosquitto_pub -p "$broker_port" -V 5 -t orvel/demo/tx -m '{"objectType":"nodeInfoRequest"}'
  echo "--- console: open http://127.0.0.1:$ws_port/ (MQTT on port $broker_port; running for ${secs}s, Ctrl-C stops)"
  sleep "$secs" &
  wait $! || true
  exit 0
fi

if [ "$mode" = mqtt ]; then
  start_broker
  echo "--- broker on 127.0.0.1:$broker_port; subscriber to orvel/#"
  mosquitto_sub -p "$broker_port" -V 5 -t 'orvel/#' -F 'mqtt: %t %p' &
  pids+=($!)
  start_bridge
  echo "--- frames from the module, through gateway, bridge and broker"
  for frame in 600105 50021234 520600070003012a; do echo "$frame" >&3; sleep 0.3; done
  echo "--- one command: mosquitto_pub -t orvel/demo/tx -m '{\"objectType\":\"nodeInfoRequest\"}'"
  mosquitto_pub -p "$broker_port" -t orvel/demo/tx -m '{"objectType":"nodeInfoRequest"}'
  sleep "$secs" &
  wait $! || true
  exit 0
fi

echo "--- one command of each kind"
send '{"objectType":"sendPayload","payloadType":"unacknowledged","payload":[1,2,3],"nodeId":4660,"port":1,"sequenceNo":7}'
send '{"objectType":"sendPayload","payloadType":"acknowledged","payload":[4,5],"nodeId":4660,"port":2}'
send '{"objectType":"nodeInfoRequest"}'
send '{"objectType":"neighborListRequest"}'
send '{"objectType":"networkCommand","payload":[9],"nodeId":5,"cmd":4}'
send '{"objectType":"wesCmd","cmd":1}'
send '{"objectType":"wesResponse","nodeId":5,"uidHex":"0102030405","appSettings":"000102030405060708090a0b0c0d0e0f1011121314151617"}'
send '{"objectType":"altCmd","cmd":2}'

if [ "$mode" = gpio ]; then
  echo "--- the gateway's writes to the GPIO stand-in, and its first edges"
  grep -E '^gpio-(write|event)' "$work/sim.log" | head -n 8 || true
fi

echo "--- running for ${secs}s (Ctrl-C stops)"
sleep "$secs" &
wait $! || true
