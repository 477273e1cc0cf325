#pragma once

#include "Version.h"

namespace zephyrscope {

inline constexpr char kProgramVersion[] = "zephyrscope " ZEPHYRSCOPE_VERSION;

// The first line of --help, also said after a usage error.
inline constexpr char kUsageLine[] = "Usage: zephyrscope [OPTION]... [URL [LOGFILE]]";

// What --help prints. Keep it in step with the manual page (docs/man/zephyrscope.1)
// and the README; a test checks that every option and exit status here is in the page.
inline constexpr char kProgramUsage[] =
    "Usage: zephyrscope [OPTION]... [URL [LOGFILE]]\n"
    "Plays URL and writes the player's streaming statistics twice a second into\n"
    "LOGFILE, a tab-separated log, with a block for each clip opened.\n"
    "\n"
    "  URL       a media file, a file://, http(s)://, rtsp://, srt://, HLS or DASH\n"
    "            address, a WHEP endpoint for WebRTC written whep+http(s)://HOST/PATH\n"
    "            (its http(s) URL with 'whep+' in front), or a playlist (.wpl, .asx,\n"
    "            .m3u, .m3u8, .pls, .xspf)\n"
    "  LOGFILE   the log to write; without it the log is named after the local date\n"
    "            and time of start-up (YYYYMMDDhhmmss.dat) in the current directory\n"
    "\n"
    "With a URL the run is unattended: it ends by itself about 15 seconds after the\n"
    "last entry. Without one the window waits for Open; where there is no display\n"
    "(DISPLAY and WAYLAND_DISPLAY unset, no -platform) the program runs on Qt's\n"
    "offscreen platform, and there a run without a URL ends with status 64.\n"
    "Messages go to stderr.\n"
    "\n"
    "Options:\n"
    "  -h, --help       print this text and exit\n"
    "  -V, --version    print the version and exit\n"
    "  --verbose        under each failure, also GStreamer's own details (the\n"
    "                   source file and line, the failing element)\n"
    "  --ca-file=FILE   HTTPS fetches trust the certificate authorities in FILE\n"
    "                   (PEM) instead of the system's\n"
    "  --bearer-token=TOKEN\n"
    "                   WebRTC: send 'Authorization: Bearer TOKEN' to the WHEP\n"
    "                   endpoint (its offer and its DELETE)\n"
    "  --stun-server=stun://HOST:PORT\n"
    "  --turn-server=turn(s)://USER:PASSWORD@HOST:PORT\n"
    "                   WebRTC: ICE servers for real networks (default: the host's\n"
    "                   own addresses only)\n"
    "  --no-data-timeout=SECONDS\n"
    "                   an open network entry that waits SECONDS (1 to 30) for\n"
    "                   data fails with 'no data for SECONDS s' (default: 30)\n"
    "  --metrics=[ADDR]:PORT\n"
    "                   serve the figures of the last sample at\n"
    "                   http://ADDR:PORT/metrics for Prometheus (no ADDR: every\n"
    "                   interface; [::1] for IPv6; port 0: any free port)\n"
    "  --               end of options: a URL that starts with -- can follow\n"
    "  -platform NAME   Qt's platform: offscreen, or xcb for an X display\n"
    "\n"
    "Exit status:\n"
    "  0    the run ended normally (Quit, or the countdown after every entry\n"
    "       had played to its end)\n"
    "  1    the media engine could not be started\n"
    "  2    the log could not be created\n"
    "  3    nothing could be played and the run ended by itself\n"
    "  4    the run ended by itself and something played, but an entry failed or\n"
    "       was lost part-way, or log writes failed (the log is incomplete)\n"
    "  5    the metrics endpoint could not be served (address in use, ...)\n"
    "  64   usage error: an unknown option or a bad option value, or no URL\n"
    "       where nobody can open one (the offscreen platform)\n"
    "  129  stopped by SIGHUP (the log is complete and closed)\n"
    "  130  stopped by SIGINT (the log is complete and closed)\n"
    "  143  stopped by SIGTERM (the log is complete and closed)\n";

} // namespace zephyrscope
