#pragma once

// Whom the player's HTTPS fetches trust: the system's certificate authorities,
// or, given a CA file (--ca-file), the authorities in that file instead (as
// curl's --cacert does). Private to player/. Any thread.

#include <string>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class TlsTrust {
public:
    // Why the CA file (PEM) cannot be used, or empty when it can.
    static std::string caFileError(const std::string& path);
    // Makes an HTTP source with souphttpsrc's tls-database trust caFile;
    // nothing for other elements or an empty caFile.
    static void applyTo(GstElement* source, const std::string& caFile);
    // Makes caFile GIO's default TLS database for the whole process: the HLS and
    // DASH demuxers (adaptivedemux2) fetch segments with a libsoup session of
    // their own that no property reaches, and a session takes the default
    // database when it is made. False (with the reason on stderr) when the file
    // cannot be used.
    static bool makeProcessDefault(const std::string& caFile);
    // What is wrong with a refused certificate, from GTlsCertificateFlags, in words.
    static std::string certificateProblems(unsigned flags);
};

} // namespace zephyrscope
