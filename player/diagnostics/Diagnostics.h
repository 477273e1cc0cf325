#pragma once

namespace zephyrscope {

// What the program prints beyond its one line per failure. Set once by main,
// before the player starts, and read from any thread after that.
class Diagnostics {
public:
    // --verbose: the player's internals (GStreamer's own source file and line and
    // the failing element) go to stderr under each failure. GST_DEBUG in the
    // environment asks for them too.
    static void setVerbose(bool verbose);
    static bool verbose();

    // Routes what the player layer prints with g_printerr through the password
    // masking, so a URL with user:password@ never reaches stderr as typed.
    static void maskPasswordsInPrintedErrors();
};

} // namespace zephyrscope
