#!/usr/bin/env bash
# Builds the Debian package from the build tree with CPack, unpacks it with
# dpkg-deb into a scratch folder and runs the programs from there; lintian must
# find no errors. Usage: PackageTest.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.txt" 2>&1 ||
  { cat "$scratch/cpack.txt" >&2; fail "cpack could not build the package"; }
deb=$(ls "$scratch"/out/zephyrscope_2.0-1_*.deb)
echo "package: $(basename "$deb")"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"

# What the player loads at run time, beside what the binaries link.
depends=$(dpkg-deb -f "$deb" Depends)
for p in gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav \
         gstreamer1.0-x gstreamer1.0-nice glib-networking libtotem-plparser18 libqt6widgets6 libgstreamer1.0-0; do
  [[ ", $depends," == *", $p"[\ ,]* ]] || fail "Depends lacks $p"
done

# Exactly the two programs, their data and the deployment kit; no test servers,
# helpers or benchmarks.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected=$(sort <<'LIST'
./lib/systemd/system/zephyrscope@.service
./usr/bin/zephyrscope
./usr/bin/zephyrscope-report
./usr/share/applications/zephyrscope.desktop
./usr/share/doc/zephyrscope/changelog.Debian.gz
./usr/share/doc/zephyrscope/copyright
./usr/share/doc/zephyrscope/examples/channel.conf.example
./usr/share/doc/zephyrscope/examples/logrotate
./usr/share/icons/hicolor/128x128/apps/zephyrscope.png
./usr/share/icons/hicolor/16x16/apps/zephyrscope.png
./usr/share/icons/hicolor/32x32/apps/zephyrscope.png
./usr/share/icons/hicolor/48x48/apps/zephyrscope.png
./usr/share/icons/hicolor/64x64/apps/zephyrscope.png
./usr/share/man/man1/zephyrscope-report.1.gz
./usr/share/man/man1/zephyrscope.1.gz
./usr/share/zephyrscope/grafana/zephyrscope.json
./usr/share/zephyrscope/prometheus/prometheus.yml
./usr/share/zephyrscope/prometheus/zephyrscope-rules.yml
./usr/share/zephyrscope/zephyrscope-file-sd
LIST
)
[ "$files" = "$expected" ] || fail "the package holds other files than expected:"$'\n'"$(diff <(echo "$expected") <(echo "$files"))"

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
cd "$scratch"

version=$("$root/usr/bin/zephyrscope" --version)
[ "$version" = "zephyrscope 2.0" ] || fail "zephyrscope --version printed '$version'"
version=$("$root/usr/bin/zephyrscope-report" --version)
[ "$version" = "zephyrscope-report 2.0" ] || fail "zephyrscope-report --version printed '$version'"

# The logrotate example, pointed at a scratch folder, rotates as a probe needs:
# the log renamed, an empty one made at its path (create, not copytruncate).
# A channel's logs are in its unit's state directory, /var/lib/zephyrscope/CHANNEL/.
mkdir -p "$scratch/logs/news"
printf 'old line\n' > "$scratch/logs/news/probe.dat"
sed "s|/var/lib/zephyrscope|$scratch/logs|g" "$root/usr/share/doc/zephyrscope/examples/logrotate" > "$scratch/logrotate.conf"
logrotate -f -s "$scratch/logrotate.state" "$scratch/logrotate.conf" ||
  fail "logrotate could not use the example configuration"
[ "$(cat "$scratch/logs/news/probe.dat.1")" = "old line" ] || fail "logrotate did not rename the log to probe.dat.1"
[ -f "$scratch/logs/news/probe.dat" ] && [ ! -s "$scratch/logs/news/probe.dat" ] ||
  fail "logrotate did not create an empty log in the old one's place"

# A small log as the program writes it: header, a media block, four samples,
# the first one before playing began.
{
  printf 'UTCTime\tTime\tBuf_Progress\tBufCount\tBufTime\tBit_Rate\tBandWidth\tMax_BandW\tFrame_Rate\tRncode_Fr\t'
  printf 'Fr_Skipped\tReceived_Pkts\tLost_Pkts\tRecover_Pkts\tQuality\tProtocol\tIFramerate\tPlayerState\n'
  printf 'sample\nrtsp://127.0.0.1:8554/sample\nDuration: 00:02 (2.00 secs)\tResulation: 320*240\n'
  line='%d.%d\t%4.4f\t%3d\t%2d\t%5d\t%8d\t%8d\t%8d\t%2.2f\t%8d\t%3d\t%8d\t%8d\t%8d\t%8d\t%s\t%2.2f\t%s\n'
  printf "$line" 1796666400 0 0 0 0 5000 0 0 0 0 0 0 0 0 0 0 RTSPU 0 Transitioning
  printf "$line" 1796666400 500 0.5 100 1 5000 160000 180000 0 25 25 0 40 0 0 100 RTSPU 25 Playing
  printf "$line" 1796666401 0 1.0 100 1 5000 170000 180000 0 25 25 0 80 1 0 99 RTSPU 25 Playing
  printf "$line" 1796666401 500 1.5 100 1 5000 150000 180000 0 25 25 0 120 1 0 99 RTSPU 25 Playing
} >sample.dat
report=$("$root/usr/bin/zephyrscope-report" sample.dat) || fail "zephyrscope-report failed on the sample log"
for expected in "1 clip(s), 4 sample(s), 0 line(s) not read" "Clip 1: sample" \
                "Samples              4 (3 in Playing)" "Start-up time        0.50 s" "Protocol             RTSPU"; do
  [[ "$report" == *"$expected"* ]] || fail "the report lacks '$expected':"$'\n'"$report"
done

# The extracted program runs where there is no display and ends at once without a URL.
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/zephyrscope" 2>stderr.txt || status=$?
[ "$status" = 64 ] || fail "zephyrscope without a display or URL ended with $status: $(cat stderr.txt)"

desktop-file-validate "$root/usr/share/applications/zephyrscope.desktop" || fail "the desktop entry is not valid"
# The unit runs the program the package installs (tests/deploy checks the unit itself).
unit_program=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$root/lib/systemd/system/zephyrscope@.service")
[ "$unit_program" = /usr/bin/zephyrscope ] && [ -x "$root$unit_program" ] || fail "the unit runs '$unit_program'"
mkdir channels
cp "$root/usr/share/doc/zephyrscope/examples/channel.conf.example" channels/news.conf
listed=$("$root/usr/share/zephyrscope/zephyrscope-file-sd" -d channels -H probe) || fail "zephyrscope-file-sd failed"
[[ "$listed" == *'"targets": ["probe:9464"]'* ]] || fail "zephyrscope-file-sd listed the example channel as: $listed"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(zcat "$page" | groff -ww -z -man 2>&1)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

# Lintian refuses nothing: warnings are listed, errors fail the test.
status=0
lintian=$(lintian --tag-display-limit 0 --fail-on error "$deb" 2>&1) || status=$?
echo "lintian:"
grep -v '^running with root privileges' <<<"$lintian" || true
[ "$status" = 0 ] || fail "lintian found errors (status $status)"
echo "package test passed"
