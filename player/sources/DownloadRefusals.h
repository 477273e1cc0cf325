#pragma once

// What adaptive demuxers (hlsdemux2, dashdemux2) download themselves, through a
// libsoup session of their own that no pad sees: their variant playlists and
// segments. Two things are refused there, process-wide:
//  - a compressed answer: the sessions are made to ask for none and to inflate
//    none, so a playlist that would inflate to a gigabyte arrives as the few
//    hundred kilobytes sent, and an answer compressed all the same is refused;
//  - a local file named by a remote playlist: libsoup refuses to make a request
//    for it with a critical and the demuxer waits for ever; that critical
//    (taken off stderr) is the refusal.
// An entry tallies the refusals heard while it plays (see EventTally) and fails
// with the first. Private to player/.
//
// Thread: the hooks run on the demuxers' download threads and GLib's logging;
// every function may be called from any thread.

#include "EventTally.h"

#include <string>

namespace zephyrscope {

class DownloadRefusals {
public:
    // Installs the libsoup hooks once. Idempotent.
    static void watch();

    static void refuse(const std::string& reason);
    // Where refusals are heard, process-wide.
    static EventTally::Channel& refusals();

    // Whether a GLib log message is libsoup refusing a URI that is not HTTP(S),
    // which only a demuxer's request for a file named in a playlist makes.
    static bool isLocalUriRefusal(const char* domain, const char* message);

    // The reason for a compressed answer that was not asked for.
    static std::string compressedReason(const std::string& uri, const std::string& encoding);
};

} // namespace zephyrscope
