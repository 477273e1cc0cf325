#!/usr/bin/env python3
"""Every query of the Grafana dashboard, run against a real Prometheus that
scrapes two real probes run with --monitor --name, through an outage.

  camera: RTSP from zephyrscope_rtsp_server (one RTP packet in 20 dropped), which
          the test stops for OUTAGE_S seconds and starts again on the same port;
  mux:    MPEG-TS over UDP from gst-launch-1.0 through zephyrscope_ts_relay (one
          datagram in 40 dropped: lost packets and continuity errors).

Prometheus (the Debian binary) runs on 127.0.0.1 with a scratch storage folder,
1-s scrapes and the alert rules. Each panel query, with $channel as Grafana
writes a multi-value selection of both channels and its interval variables
replaced by fixed windows, must return data; so must the channel variable's
label_values query. Ground truth beside: the camera was down exactly once
(zephyrscope_outages_total 1, zephyrscope_up 0 then 1) for about as long as
its server was away, the loss ratio panel shows what the server and the relay
dropped, and every rule evaluates without error on the real series.

Usage: DashboardQueriesTest.py DASHBOARD RULES PROGRAM RTSP_SERVER TS_RELAY
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

OUTAGE_S = 6
# The largest back-off step an outage of OUTAGE_S seconds can reach (1, 2, 4, 8 s).
BACKOFF_STEP_MAX_S = 8
SCRAPE_INTERVAL = "1s"
# Grafana's own variables, fixed: windows long enough for 1-s scrapes.
GRAFANA_VARIABLES = {"$__rate_interval": "30s", "$__interval": "5s", "$__range": "2m"}
CHANNELS = ("camera", "mux")
DEADLINE_S = 150

started = time.monotonic()
processes = []


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr)
    sys.exit(1)


def left_s():
    return DEADLINE_S - (time.monotonic() - started)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(args, log_path, **kwargs):
    log = open(log_path, "w+b")
    process = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.PIPE, **kwargs)
    process.log_path = log_path
    processes.append(process)
    return process


def output(process):
    with open(process.log_path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def wait_for(condition, timeout_s, what):
    end = time.monotonic() + min(timeout_s, left_s())
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    fail(f"waited {timeout_s} s for {what}")


def stop(process, grace_s=20):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(grace_s)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def start_rtsp_server(server, port, scratch, round_):
    # A stream longer than the test: its only gap is the one the test makes.
    process = start([server, "--port", str(port), "--drop-every", "20", "--seconds", str(DEADLINE_S),
                     "--timeout", str(DEADLINE_S)],
                    os.path.join(scratch, f"rtsp-{round_}.txt"))
    found = wait_for(lambda: re.search(r"^PORT (\d+)$", output(process), re.M), 20, "the RTSP server's port")
    return process, int(found.group(1))


def query(prometheus, expr):
    url = f"{prometheus}/api/v1/query?" + urllib.parse.urlencode({"query": expr})
    with urllib.request.urlopen(url, timeout=10) as answer:
        body = json.load(answer)
    if body.get("status") != "success":
        fail(f"Prometheus refused {expr}: {body}")
    return body["data"]["result"]


def values(prometheus, expr):
    return {tuple(sorted(r["metric"].items())): float(r["value"][1]) for r in query(prometheus, expr)}


def get_json(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return json.load(answer)


def events(json_log):
    """The JSON log's lines other than ticks, for a failure's message."""
    with open(json_log, encoding="utf-8") as f:
        return "".join(line for line in f if '"event"' in line and '"tick"' not in line)


def dashboard_queries(dashboard):
    for panel in dashboard["panels"]:
        for target in panel.get("targets", []):
            yield panel["title"], target["refId"], target["expr"]


def grafana_expr(expr):
    # A multi-value selection, as Grafana's Prometheus data source formats it for =~.
    expr = expr.replace("$channel", "(" + "|".join(CHANNELS) + ")")
    for name, window in GRAFANA_VARIABLES.items():
        expr = expr.replace(name, window)
    if "$" in expr:
        fail(f"a variable the test does not know: {expr}")
    return expr


def main(argv):
    if len(argv) != 6:
        fail(__doc__.strip().splitlines()[-1])
    dashboard_path, rules_path, program, rtsp_server, ts_relay = map(os.path.abspath, argv[1:])
    with open(dashboard_path, encoding="utf-8") as f:
        dashboard = json.load(f)
    variables = {v["name"]: v for v in dashboard["templating"]["list"]}
    if "channel" not in variables:
        fail("the dashboard has no channel variable")
    queries = list(dashboard_queries(dashboard))
    for title, ref, expr in queries:
        if 'channel=~"$channel"' not in expr:
            fail(f"panel '{title}' {ref} does not select the channel: {expr}")

    scratch = tempfile.mkdtemp(prefix="zs-dashboard-")
    try:
        run(scratch, dashboard, variables, queries, rules_path, program, rtsp_server, ts_relay)
    finally:
        for process in reversed(processes):
            stop(process)
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"dashboard test passed in {time.monotonic() - started:.0f} s")


def run(scratch, dashboard, variables, queries, rules_path, program, rtsp_server, ts_relay):
    environment = dict(os.environ, ZEPHYRSCOPE_FAKE_SINKS="1", QT_QPA_PLATFORM="offscreen")
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        environment.pop(name, None)

    rtsp, rtsp_port = start_rtsp_server(rtsp_server, 0, scratch, 1)
    udp_port = free_port(socket.SOCK_DGRAM)
    relay = start([ts_relay, "udp", "127.0.0.1", str(udp_port), "40", str(DEADLINE_S)],
                  os.path.join(scratch, "relay.txt"))
    relay_port = int(wait_for(lambda: re.search(r"^port (\d+)$", output(relay), re.M), 20, "the relay's port").group(1))

    probes = {}
    probe_processes = {}
    for channel, url in (("camera", f"rtsp://127.0.0.1:{rtsp_port}/clip"), ("mux", f"udp://127.0.0.1:{udp_port}")):
        probe = start([program, "--monitor", f"--name={channel}", "--metrics=127.0.0.1:0", f"--json-log={channel}.jsonl", url,
                       f"{channel}.dat"],
                      os.path.join(scratch, f"{channel}.txt"), cwd=scratch, env=environment)
        found = wait_for(lambda p=probe: re.search(r"Serving metrics at http://([\d.:]+)/metrics", output(p)), 20,
                         f"the {channel} probe's metrics address")
        probes[channel] = found.group(1)
        probe_processes[channel] = probe
    sender = start(["gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "!",
                    "video/x-raw,width=320,height=240,framerate=25/1", "!", "x264enc", "tune=zerolatency",
                    "speed-preset=ultrafast", "bitrate=800", "key-int-max=25", "!", "h264parse", "!", "mpegtsmux",
                    "alignment=7", "!", "udpsink", "host=127.0.0.1", f"port={relay_port}"],
                   os.path.join(scratch, "sender.txt"))

    prometheus_port = free_port()
    config = os.path.join(scratch, "prometheus.yml")
    shutil.copy(rules_path, os.path.join(scratch, "zephyrscope-rules.yml"))
    with open(config, "w", encoding="utf-8") as f:
        f.write(f"""global: {{scrape_interval: {SCRAPE_INTERVAL}, evaluation_interval: {SCRAPE_INTERVAL}}}
rule_files: [zephyrscope-rules.yml]
scrape_configs:
  - job_name: zephyrscope
    static_configs:
      - targets: [{", ".join("'" + a + "'" for a in probes.values())}]
""")
    start(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={scratch}/data",
           f"--web.listen-address=127.0.0.1:{prometheus_port}", "--log.level=warn"],
          os.path.join(scratch, "prometheus.txt"))
    prometheus = f"http://127.0.0.1:{prometheus_port}"

    def ready():
        try:
            with urllib.request.urlopen(f"{prometheus}/-/ready", timeout=2) as answer:
                return answer.status == 200
        except OSError:
            return False
    wait_for(ready, 30, "Prometheus to be ready")

    def up(channel):
        return values(prometheus, f'zephyrscope_up{{channel="{channel}"}}')

    wait_for(lambda: set(up("camera").values()) == {1.0} and set(up("mux").values()) == {1.0}, 40,
             "both channels up in Prometheus")
    print(f"both channels up after {time.monotonic() - started:.1f} s")
    time.sleep(5)

    # The outage: the camera's server goes, and comes back on the same port.
    stopped_at = time.monotonic()
    stop(rtsp)
    wait_for(lambda: set(up("camera").values()) == {0.0}, 30, "the camera down in Prometheus")
    down_at = time.monotonic()
    print(f"camera down (zephyrscope_up 0) after {down_at - started:.1f} s")
    time.sleep(max(0.0, OUTAGE_S - (time.monotonic() - down_at)))
    restarted_at = time.monotonic()
    start_rtsp_server(rtsp_server, rtsp_port, scratch, 2)
    wait_for(lambda: set(up("camera").values()) == {1.0}, 40, "the camera up again in Prometheus")
    print(f"camera up again after {time.monotonic() - started:.1f} s")

    # Each query, until it returns data (a rate needs two scrapes of the new
    # entry; live latency waits for the server's first RTCP sender report).
    pending = {(title, ref): grafana_expr(expr) for title, ref, expr in queries}
    answered = {}
    end = time.monotonic() + min(40, left_s() - 30)
    while pending and time.monotonic() < end:
        for key, expr in list(pending.items()):
            result = query(prometheus, expr)
            if result:
                answered[key] = result
                del pending[key]
        time.sleep(1)
    for title, ref, _ in queries:
        result = answered.get((title, ref))
        if result is None:
            print(f"NO DATA  {title} [{ref}]")
        else:
            shown = ", ".join(f"{r['metric'].get('channel', '?')}"
                              + (f"/{r['metric']['error']}" if "error" in r["metric"] else "")
                              + f"={float(r['value'][1]):.4g}" for r in result)
            print(f"data     {title} [{ref}]: {shown}")
    if pending:
        fail(f"{len(pending)} of {len(queries)} queries returned no data")

    # The loss ratio panel against what the server and the relay dropped: one
    # RTP packet in 20, one datagram of seven TS packets in 40.
    for title, ref, _ in queries:
        if title == "Packet loss ratio":
            ratios = {r["metric"]["channel"]: float(r["value"][1]) for r in answered[(title, ref)]}
            for channel, dropped in (("camera", 1 / 20), ("mux", 1 / 40)):
                if not abs(ratios.get(channel, -1) - dropped) <= dropped * 0.25:
                    fail(f"the {channel} loss ratio is {ratios.get(channel)}, {dropped:.3f} was dropped")

    # The channel variable: label_values(METRIC, LABEL) is the label values API.
    definition = variables["channel"]["definition"]
    found = re.fullmatch(r"label_values\((\w+),\s*(\w+)\)", definition)
    if not found:
        fail(f"the channel variable's query is not label_values(METRIC, LABEL): {definition}")
    names = get_json(f"{prometheus}/api/v1/label/{found.group(2)}/values?"
                     + urllib.parse.urlencode({"match[]": found.group(1)}))["data"]
    print(f"channel variable: {definition} -> {names}")
    if sorted(names) != sorted(CHANNELS):
        fail(f"the channel variable lists {names}")

    # Ground truth of the outage: one, seen by Prometheus as 0 then 1.
    outages = values(prometheus, 'sum(zephyrscope_outages_total{channel="camera"})')
    seconds = values(prometheus, 'sum(zephyrscope_outage_seconds_total{channel="camera"})')
    lowest = values(prometheus, 'min_over_time(zephyrscope_up{channel="camera"}[5m])')
    mux_outages = values(prometheus, 'sum(zephyrscope_outages_total{channel="mux"})')
    print(f"camera: outages {list(outages.values())}, outage seconds {list(seconds.values())}, "
          f"lowest up {list(lowest.values())}; mux: outages {list(mux_outages.values())}")
    if list(outages.values()) != [1.0]:
        fail(f"the camera's outages are {outages}, the server was stopped once; its events:\n"
             + events(os.path.join(scratch, "camera.jsonl")) + "\n" + output(probe_processes["camera"]))
    if list(lowest.values()) != [0.0]:
        fail(f"Prometheus never saw the camera down: {lowest}")
    # The outage begins when the probe sees the server go and ends when it plays
    # again: after the restart, at the next reopening (back-off 1, 2, 4, 8 s) and
    # its start-up.
    away_s = restarted_at - stopped_at
    lowest_s, highest_s = away_s - 2, away_s + BACKOFF_STEP_MAX_S + 8
    print(f"camera's server away {away_s:.1f} s; outage seconds must be {lowest_s:.1f} to {highest_s:.1f}")
    if not seconds or not lowest_s <= list(seconds.values())[0] <= highest_s:
        fail(f"the camera's outage time is {seconds}")

    groups = get_json(f"{prometheus}/api/v1/rules")["data"]["groups"]
    unhealthy = [(r["name"], r.get("lastError")) for g in groups for r in g["rules"] if r.get("health") != "ok"]
    print(f"rules: {sum(len(g['rules']) for g in groups)} evaluated, unhealthy {unhealthy}")
    if unhealthy:
        fail(f"rules that failed on the real series: {unhealthy}")
    for channel, probe in probe_processes.items():
        if probe.poll() is not None:
            fail(f"the {channel} probe ended ({probe.returncode}): {output(probe)}")
    if sender.poll() is not None:
        fail(f"the MPEG-TS sender ended: {output(sender)}")


if __name__ == "__main__":
    main(sys.argv)
