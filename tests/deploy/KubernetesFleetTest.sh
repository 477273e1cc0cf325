#!/usr/bin/env bash
# The fleet's manifests, as far as this machine can take them (no container
# runtime, no cluster): rendered from the example values both ways of scraping,
# linted with yamllint, one Deployment per channel, each container's arguments
# accepted by the program's own option parser, a liveness probe on /metrics, the
# values' resources, and the image's user; bad values refused with a reason.
# Usage: KubernetesFleetTest.sh DEPLOY_DIR CHECK_ARGUMENTS YAMLLINT_CONFIG
set -euo pipefail
deploy=$1
check=$2
lint_config=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
render=$deploy/kubernetes/render-fleet
values=$deploy/kubernetes/values.yaml

yamllint --strict -c "$lint_config" "$values" "$deploy/prometheus/zephyrscope-rules.yml" \
  "$deploy/prometheus/prometheus.yml" || fail "yamllint: the deploy kit's YAML"

for scrape in podMonitor annotations; do
  sed "s/^scrape: .*/scrape: $scrape/" "$values" >"$scratch/values-$scrape.yaml"
  "$render" "$scratch/values-$scrape.yaml" >"$scratch/fleet-$scrape.yaml" || fail "render-fleet ($scrape)"
  yamllint --strict -c "$lint_config" "$scratch/fleet-$scrape.yaml" || fail "yamllint: the rendered fleet ($scrape)"
  echo "rendered and linted: $(grep -c '^kind: ' "$scratch/fleet-$scrape.yaml") documents ($scrape)"
done

# What the image runs as, for the pods' securityContext.
containerfile=$deploy/container/Containerfile
image_user=$(sed -n 's/^USER \([0-9]*\):[0-9]*$/\1/p' "$containerfile")
[ -n "$image_user" ] && [ "$image_user" != 0 ] || fail "the Containerfile has no numeric non-root USER"
grep -qE '^FROM debian:(12|bookworm)' "$containerfile" || fail "the Containerfile is not from Debian 12"
entrypoint=$(sed -n 's/^ENTRYPOINT //p' "$containerfile")
python3 -c 'import json, sys; e = json.loads(sys.argv[1]); assert e == ["/usr/bin/zephyrscope"], e' "$entrypoint" ||
  fail "the ENTRYPOINT is not the exec form of /usr/bin/zephyrscope: $entrypoint"

# One line per container: the channel, then its arguments, separated by US (0x1f).
python3 - "$scratch/fleet-podMonitor.yaml" "$scratch/fleet-annotations.yaml" "$values" "$image_user" \
  >"$scratch/containers" <<'PY'
import sys, yaml
fleet_pm, fleet_an, values_path, image_user = sys.argv[1:5]
values = yaml.safe_load(open(values_path))
channels = [c["name"] for c in values["channels"]]
for path, scrape in ((fleet_pm, "podMonitor"), (fleet_an, "annotations")):
    docs = list(yaml.safe_load_all(open(path)))
    deployments = [d for d in docs if d["kind"] == "Deployment"]
    monitors = [d for d in docs if d["kind"] == "PodMonitor"]
    assert [d["metadata"]["name"] for d in deployments] == ["zephyrscope-" + c for c in channels], deployments
    assert len(monitors) == (1 if scrape == "podMonitor" else 0), scrape
    for d in deployments:
        pod = d["spec"]["template"]
        assert d["spec"]["selector"]["matchLabels"].items() <= pod["metadata"]["labels"].items()
        annotations = pod["metadata"].get("annotations", {})
        port = values["metricsPort"]
        if scrape == "annotations":
            assert annotations == {"prometheus.io/scrape": "true", "prometheus.io/port": str(port),
                                   "prometheus.io/path": "/metrics"}, annotations
        else:
            assert not annotations, annotations
            selector = monitors[0]["spec"]["selector"]["matchLabels"]
            assert selector.items() <= pod["metadata"]["labels"].items(), selector
            assert monitors[0]["spec"]["podMetricsEndpoints"][0]["port"] == "metrics"
        assert pod["spec"]["securityContext"]["runAsUser"] == int(image_user)
        assert pod["spec"]["securityContext"]["runAsNonRoot"] is True
        (container,) = pod["spec"]["containers"]
        assert container["ports"] == [{"name": "metrics", "containerPort": port}], container["ports"]
        probe = container["livenessProbe"]["httpGet"]
        assert probe == {"path": "/metrics", "port": "metrics"}, probe
        assert container["resources"] == values["resources"], container["resources"]
        assert container["securityContext"]["allowPrivilegeEscalation"] is False
        if scrape == "podMonitor":
            channel = d["metadata"]["name"].removeprefix("zephyrscope-")
            print("\x1f".join([channel] + container["args"]))
PY
[ -s "$scratch/containers" ] || fail "no container found in the rendered fleet"

containers=0
while IFS= read -r line; do
  IFS=$'\x1f' read -r -a words <<<"$line"
  channel=${words[0]}
  args=("${words[@]:1}")
  echo "$channel: ${args[*]}"
  "$check" "${args[@]}" || fail "the program's parser refuses the arguments of channel $channel"
  [[ " ${args[*]} " == *" --monitor "* && " ${args[*]} " == *" --name=$channel "* ]] ||
    fail "channel $channel does not run --monitor --name=$channel"
  containers=$((containers + 1))
done <"$scratch/containers"
echo "$containers containers' arguments accepted"

# Values the renderer must refuse, each with its reason.
refuse() {
  local what=$1 edit=$2 expected=$3
  sed "$edit" "$values" >"$scratch/bad.yaml"
  if "$render" "$scratch/bad.yaml" >/dev/null 2>"$scratch/err"; then fail "rendered $what"; fi
  grep -q "$expected" "$scratch/err" || fail "$what: $(cat "$scratch/err")"
}
refuse "a channel name with capitals" 's/- name: news/- name: News/' "channel name 'News'"
refuse "a channel twice" 's/- name: sport/- name: news/' "channel 'news' is listed twice"
refuse "an unknown way of scraping" 's/^scrape: .*/scrape: both/' "scrape is 'annotations' or 'podMonitor'"
echo "kubernetes fleet test passed"
