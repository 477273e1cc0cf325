#!/usr/bin/env bash
# The template unit and the file-discovery script of deploy/, as far as this
# machine can take them without a running systemd: the unit, rendered with the
# build's program and a scratch channels folder, passes `systemd-analyze verify`
# with nothing to say and scores as exposed as at most EXPOSURE_MAX in
# `systemd-analyze security --offline`; its ExecStart, expanded with the example
# channel as systemd expands it, is accepted by the program's option parser; and
# the file-discovery list made from three channels holds their endpoints and
# passes `promtool check config`.
# Usage: SystemdUnitTest.sh DEPLOY_DIR PROGRAM CHECK_ARGUMENTS
set -euo pipefail
deploy=$1
program=$2
check=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
readonly EXPOSURE_MAX=2.0

mkdir -p "$scratch/units" "$scratch/channels"
cp "$deploy/systemd/channel.conf.example" "$scratch/channels/news.conf"
sed -e "s#/usr/bin/zephyrscope#$program#" -e "s#/etc/zephyrscope/channels#$scratch/channels#g" \
  "$deploy/systemd/zephyrscope@.service" >"$scratch/units/zephyrscope@.service"
ln -s zephyrscope@.service "$scratch/units/zephyrscope@news.service"
grep -q "^ExecStart=$program " "$scratch/units/zephyrscope@.service" || fail "the unit's ExecStart does not run /usr/bin/zephyrscope"

if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is not installed: the unit was NOT verified"
else
  status=0
  said=$(systemd-analyze verify --man=no "$scratch/units/zephyrscope@news.service" 2>&1) || status=$?
  [ "$status" = 0 ] && [ -z "$said" ] || fail "systemd-analyze verify (status $status): $said"
  echo "systemd-analyze verify: clean"
  status=0
  security=$(systemd-analyze security --offline=yes "$scratch/units/zephyrscope@news.service" 2>&1) || status=$?
  level=$(sed -n 's/.*Overall exposure level for zephyrscope@news.service: \([0-9.]*\).*/\1/p' <<<"$security")
  [ -n "$level" ] || fail "systemd-analyze security gave no exposure level (status $status): $security"
  echo "systemd-analyze security: exposure $level (at most $EXPOSURE_MAX)"
  awk -v l="$level" -v m="$EXPOSURE_MAX" 'BEGIN { exit !(l <= m) }' || fail "exposure $level is above $EXPOSURE_MAX"
  for setting in DynamicUser=yes ProtectSystem=strict NoNewPrivileges=yes ProtectHome=yes PrivateTmp=yes; do
    grep -qx "$setting" "$scratch/units/zephyrscope@.service" || fail "the unit lacks $setting"
  done
fi

# ExecStart as systemd expands it for instance "news": %i, then ${VAR} as one
# word and $VAR split at white space, from the channel's file.
execstart=$(sed -n 's/^ExecStart=//p' "$scratch/units/zephyrscope@.service")
words=()
set -f
for word in ${execstart//%i/news}; do
  if [[ $word =~ ^\$([A-Z_]+)$ ]]; then
    value=$(sed -n "s/^${BASH_REMATCH[1]}=//p" "$scratch/channels/news.conf" | tail -n 1)
    for part in $value; do words+=("$part"); done
  else
    while [[ $word =~ \$\{([A-Z_]+)\} ]]; do
      value=$(sed -n "s/^${BASH_REMATCH[1]}=//p" "$scratch/channels/news.conf" | tail -n 1)
      word=${word//"${BASH_REMATCH[0]}"/$value}
    done
    words+=("$word")
  fi
done
set +f
[ "${words[0]}" = "$program" ] || fail "ExecStart starts with '${words[0]}'"
echo "ExecStart for news: ${words[*]:1}"
"$check" "${words[@]:1}" || fail "the program's parser refuses the unit's arguments"
[[ " ${words[*]} " == *" --monitor "* && " ${words[*]} " == *" --name=news "* ]] || fail "the unit does not run --monitor --name=%i"

# Three channels on this host, two on a single address.
printf 'URL=udp://239.1.1.2:5000\nMETRICS_PORT="9465"\nMETRICS_ADDRESS=127.0.0.1\n' >"$scratch/channels/sport.conf"
printf 'URL=udp://239.1.1.3:5000\nMETRICS_PORT=9466\nMETRICS_ADDRESS=[::1]\n' >"$scratch/channels/weather.conf"
mkdir -p "$scratch/sd"
"$deploy/prometheus/zephyrscope-file-sd" -d "$scratch/channels" -H probe-a.example -o "$scratch/sd/probe-a.json"
echo "file_sd: $(tr -d '\n' <"$scratch/sd/probe-a.json")"
python3 - "$scratch/sd/probe-a.json" <<'PY' || fail "the file-discovery list is not what the channels say"
import json, sys
groups = json.load(open(sys.argv[1]))
assert groups == [{"targets": ["probe-a.example:9464", "127.0.0.1:9465", "[::1]:9466"]}], groups
PY
sed -e "s#/etc/prometheus/zephyrscope/\*.json#$scratch/sd/*.json#" "$deploy/prometheus/prometheus.yml" >"$scratch/prometheus.yml"
cp "$deploy/prometheus/zephyrscope-rules.yml" "$scratch/"
promtool check config "$scratch/prometheus.yml" || fail "promtool check config refuses the example with the list"
printf 'URL=udp://239.1.1.3:5000\nMETRICS_PORT=none\n' >"$scratch/channels/bad.conf"
if "$deploy/prometheus/zephyrscope-file-sd" -d "$scratch/channels" -H probe-a.example >/dev/null 2>"$scratch/err"; then
  fail "a channel without a numeric port was listed"
fi
grep -q "bad.conf has no numeric METRICS_PORT" "$scratch/err" || fail "the script said: $(cat "$scratch/err")"
echo "systemd unit test passed"
