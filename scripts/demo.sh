#!/usr/bin/env bash
# Measures a local sample stream unattended and shows what was measured:
# a 10-second 640x360 25 fps test stream (a ball circling on grey: a picture that
# is neither black nor still) served over RTSP on 127.0.0.1, the server
# dropping one RTP packet in 50 so there is loss to measure, played by
# zephyrscope until it ends by itself, then summed up by zephyrscope-report from
# the JSON Lines log, which has what the tab-separated log has no column for:
# live latency (RTCP's wall clock), start-up and stalls to the millisecond, and
# the content's black, frozen and silent stretches, all read into the session
# metrics and the QoE score (docs/QOE.md).
set -euo pipefail
build=${1:-build}
build=$(cd "$build" && pwd)
out="$build/demo"
mkdir -p "$out"
log="$out/demo-$(date +%Y%m%d%H%M%S).dat"
json_log="${log%.dat}.jsonl"
chart="${log%.dat}.png"
p1203="${log%.dat}-p1203.json"

server_in=$(mktemp -u "$out/.server-in.XXXXXX")
server_out="$out/rtsp-server.txt"
mkfifo "$server_in"
cleanup() {
  exec 3>&- 2>/dev/null || true
  [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null || true
  rm -f "$server_in"
}
trap cleanup EXIT

# The server ends when its standard input closes, or after its own timeout.
"$build/tools/rtsp-test-server/zephyrscope_rtsp_server" --seconds 10 --fps 25 --size 640x360 --picture grey-ball \
  --drop-every 50 --timeout 120 \
  <"$server_in" >"$server_out" 2>"$out/rtsp-server.err" &
server_pid=$!
exec 3>"$server_in"
for _ in $(seq 100); do
  grep -q '^PORT ' "$server_out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^PORT //p' "$server_out" | head -n 1)
if [ -z "$port" ]; then
  echo "demo: the RTSP test server did not start:" >&2
  cat "$out/rtsp-server.err" >&2
  exit 1
fi
url="rtsp://127.0.0.1:$port/clip"

platform=()
where="offscreen (no DISPLAY)"
if [ -n "${DISPLAY:-}" ]; then
  where="in a window on $DISPLAY"
else
  platform=(-platform offscreen)
fi
echo "demo: measuring $url $where; the run ends by itself about 15 s after the stream ends"
start=$(date +%s%N)
status=0
"$build/zephyrscope" "${platform[@]}" --json-log="$json_log" "$url" "$log" || status=$?
end=$(date +%s%N)

exec 3>&-
wait "$server_pid" 2>/dev/null || true
server_pid=""

echo
echo "demo: zephyrscope ended with exit status $status after $(( (end - start) / 1000000000 )).$(( (end - start) / 100000000 % 10 )) s"
echo "demo: the RTSP server $(grep '^STATS' "$server_out" | tail -n 1 | sed 's/^STATS //')"
echo "demo: statistics log: $log ($(wc -l <"$log") lines)"
echo "demo: JSON Lines log: $json_log ($(wc -l <"$json_log") lines)"
echo
"$build/zephyrscope-report" "$json_log" --plot "$chart" --p1203-input "$p1203"
exit "$status"
