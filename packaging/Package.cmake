# The Debian package, built by CPack from the install rules (packaging/CMakeLists.txt):
# `make package` gives build/zephyrscope_2.0-1_amd64.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zephyrscope)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zephyrscope")
set(CPACK_PACKAGE_CONTACT "Zephyrscope maintainers <maintainers@users.noreply.c-seed-04c840cb.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "streaming media statistics logger")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Zephyrscope plays a clip, a playlist or a stream URL (file, HTTP(S), RTSP,
HLS, DASH) and, twice a second, writes the player's streaming statistics
(buffering, bit rate, frame rate, packets, reception quality, protocol,
player state) as one line of a tab-separated log. Started with a URL it
runs unattended, also on a server without a display, and ends by itself.
.
zephyrscope-report sums up a log (start-up time, stalls, bit rate, frame
rate, packet loss) as text or JSON and charts it as PNG or SVG.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the binaries link come from dpkg-shlibdeps; what the player loads
# at run time does not show there: the GStreamer plugins (playbin3 and the
# decoders, RTSP and HTTP sources, HLS and DASH, ximagesink, webrtcbin and the
# ICE elements it needs), TLS for https and Qt's platform plugins for a display. The playlist parser, libtotem-plparser18,
# is linked, so dpkg-shlibdeps names it with its version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-plugins-ugly, gstreamer1.0-libav, gstreamer1.0-x, gstreamer1.0-nice, glib-networking, qt6-qpa-plugins")
include(CPack)
