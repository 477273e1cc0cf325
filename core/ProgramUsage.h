#pragma once

namespace zephyrscope {

inline constexpr char kProgramVersion[] = "zephyrscope 2.0";

// What --help prints. Keep it in step with the manual page and the README.
inline constexpr char kProgramUsage[] =
    "Usage: zephyrscope [OPTION]... [URL [LOGFILE]]\n"
    "Plays URL (a media file, a stream or a playlist) and writes the player's\n"
    "streaming statistics twice a second into LOGFILE, a tab-separated log.\n"
    "Without LOGFILE the log is named after the local date and time of start-up\n"
    "(YYYYMMDDhhmmss.dat) in the current directory. With a URL the run is\n"
    "unattended: it ends by itself about 15 seconds after the last entry.\n"
    "\n"
    "Options:\n"
    "  -h, --help       print this text and exit\n"
    "  -V, --version    print the version and exit\n"
    "  --ca-file=FILE   HTTPS fetches trust the certificate authorities in FILE\n"
    "                   (PEM) instead of the system's\n"
    "  --               end of options: a URL that starts with -- can follow\n"
    "  -platform NAME   Qt's platform (offscreen, xcb, ...)\n"
    "\n"
    "Exit status:\n"
    "  0    the run ended normally (Quit, or the countdown after the last entry)\n"
    "  1    the media engine could not be started\n"
    "  2    the log could not be created\n"
    "  3    nothing could be played and the run ended by itself\n"
    "  64   usage error (an unknown option or a bad option value)\n"
    "  130  stopped by SIGINT; 143 by SIGTERM (the log is complete and closed)\n";

} // namespace zephyrscope
