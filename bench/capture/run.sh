#!/usr/bin/env bash
# Capture throughput on a veth pair in two network namespaces made for the run: the agent's
# capture engine (rate 32, performance mode on and off) beside a minimal libpcap loop with
# the same options and filter, each fed the same burst of 60-byte IPv4 frames.
#   bench/capture/run.sh [BUILD_DIR] [PACKETS]     (as root; BUILD_DIR default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
packets=${2:-2000000}
bin=$build/bench/capture
for b in capture_bench_sender capture_bench_pcap_loop capture_bench_agent; do
  [ -x "$bin/$b" ] || { echo "missing $bin/$b (build the bench targets first)" >&2; exit 1; }
done

agent=wendrel-ba$$
far=wendrel-bf$$
agentIf=wba$$
farIf=wbf$$
out=$(mktemp -d)
capturePid=""
cleanup() {
  if [ -n "$capturePid" ]; then kill -TERM "$capturePid" 2>/dev/null || true; fi
  ip netns del "$agent" 2>/dev/null || true
  ip netns del "$far" 2>/dev/null || true
  rm -rf "$out"
}
trap cleanup EXIT

ip netns add "$agent"
ip netns add "$far"
ip link add "$agentIf" netns "$agent" type veth peer name "$farIf" netns "$far"
ip -n "$agent" addr add 10.203.0.1/24 dev "$agentIf"
ip -n "$agent" link set "$agentIf" up
ip -n "$far" link set "$farIf" up
sleep 1

# run LABEL COMMAND...: starts the capture program in the agent namespace, sends the burst
# from the far end, lets the last read timeout pass, stops the program and reports.
run() {
  local label=$1
  shift
  ip netns exec "$agent" "$@" >"$out/stdout" 2>"$out/stderr" &
  capturePid=$!
  sleep 2
  local sent
  sent=$(ip netns exec "$far" "$bin/capture_bench_sender" "$farIf" "$packets")
  sleep 2
  kill -TERM "$capturePid"
  wait "$capturePid"
  capturePid=""
  local count pps cpu received dropped taken
  count=$(awk '{print $2}' <<<"$sent")
  pps=$(awk '{print $6}' <<<"$sent")
  cpu=$(grep -o 'cpu_seconds [0-9.]*' "$out/stdout" | awk '{print $2}')
  if grep -q '^packets' "$out/stdout"; then
    taken=$(awk '/^packets/ {print $2}' "$out/stdout")
    received=$(awk '/^packets/ {print $4}' "$out/stdout")
    dropped=$(awk '/^packets/ {print $6}' "$out/stdout")
  else
    taken=$(awk '/^samples/ {print $2}' "$out/stdout")
    received=$(grep -o 'Received: [0-9]*' "$out/stderr" | awk '{s += $2} END {print s + 0}')
    dropped=$(grep -o 'Dropped: [0-9]*' "$out/stderr" | awk '{s += $2} END {print s + 0}')
  fi
  awk -v l="$label" -v n="$count" -v pps="$pps" -v r="$received" -v d="$dropped" -v t="$taken" \
      -v c="$cpu" 'BEGIN { printf "%-34s %9d %10.0f %9d %8d %9d %8.3f %8.3f\n",
                           l, n, pps, r, d, t, c, c / (n / 1e6) }'
}

printf "%-34s %9s %10s %9s %8s %9s %8s %8s\n" "capture" "sent" "sent/s" "received" "dropped" \
  "taken" "cpu_s" "cpu_s/M"
run "agent rate 32, performance on" "$bin/capture_bench_agent" 32 1
run "pcap loop, ip[11] & 0x0F = 0x0F" "$bin/capture_bench_pcap_loop" "$agentIf" "ip[11] & 0x0F = 0x0F"
run "agent rate 32, performance off" "$bin/capture_bench_agent" 32 0
run "pcap loop, ip" "$bin/capture_bench_pcap_loop" "$agentIf" "ip"
