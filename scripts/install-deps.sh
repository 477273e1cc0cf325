#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, run the demo
# and the benchmarks. Does nothing when all of them are present already.
set -euo pipefail

packages=(
  # Toolchain
  g++ cmake ninja-build make pkg-config
  # Rebuilds across work trees and the sanitizer build share compiled objects
  ccache
  # Unit tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # User interface
  qt6-base-dev qt6-svg-dev libgl-dev
  # Player engine, its plugins and the playlist parser
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-libav gstreamer1.0-x glib-networking
  libtotem-plparser-dev
  # Reads DASH manifests (also what the DASH demuxer uses)
  libxml2-dev
  # Loudness by EBU R128 / ITU-R BS.1770 at the audio sink
  libebur128-dev
  # Splice points (SCTE-35) from transport-stream sections: GStreamer's MPEG-TS
  # section library
  libgstreamer-plugins-bad1.0-dev
  # WebRTC playback: webrtcbin's ICE elements (webrtcbin itself is in
  # plugins-bad; the program uses no header of that package's library)
  gstreamer1.0-nice
  # Local test servers, headless display and tools used by tests and the demo
  libgstrtspserver-1.0-dev gstreamer1.0-rtsp gstreamer1.0-tools xvfb xauth procps iproute2
  # The WHEP test server: Python over GStreamer's webrtcbin
  python3 python3-gi gir1.2-gst-plugins-bad-1.0
  # The Debian package (make package) and its checks: dependencies from the
  # binaries' libraries, lintian, the manual pages and the desktop entry
  dpkg-dev lintian groff-base desktop-file-utils
  # logrotate, to check the package's example configuration
  logrotate
  # The metrics endpoint's HTTP server, and Prometheus with promtool to check it,
  # its alert rules and the dashboard's queries
  libsoup-3.0-dev prometheus
  # The deployment kit's checks: the Kubernetes renderer reads its values with
  # PyYAML, yamllint lints what it renders; systemd-analyze verifies the unit
  python3-yaml yamllint systemd
  # Test certificates for the HTTPS tests
  openssl
  # The peer players the CPU and memory benchmark compares against (gst-play-1.0
  # is in the first), and the profilers that show where the CPU and memory go
  # (heaptrack: the heap in use over a monitor soak, docs/PERFORMANCE.md)
  gstreamer1.0-plugins-base-apps mpv ffmpeg linux-perf valgrind heaptrack
  # librist's own sender and receiver (ristsender, ristreceiver): the RIST tests
  # check the player against the protocol's reference implementation
  rist-tools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages are present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
