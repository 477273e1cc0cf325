#pragma once

// What the player does not take from a server as it comes: a download that
// grows past its bound (a playlist that inflates to a gigabyte), a remote
// manifest that names local files, and a redirect loop an HTTP source gave up
// on, which it reports by the last status alone ("Found"). Private to player/.

#include <cstdint>
#include <optional>
#include <string>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class DownloadGuard {
public:
    struct Limits {
        std::uint64_t maxBytes = 0; // more than this fails the stream
        std::string what;           // "the playlist", "the manifest": named in the error
        bool noLocalFiles = false;  // a file: URI in the data fails the stream
    };

    // Watches the data through element's pad padName (after any decompression)
    // and fails the stream at the first breach of limits: an error message from
    // element that names it, and no more data. Any thread; the probe lives as
    // long as the pad.
    static void watch(GstElement* element, const char* padName, Limits limits);

    // Why a remote manifest's text is refused for naming a local file (the
    // first file: URI in it), or empty.
    static std::string localFileIn(const std::string& text);

    // The reason for an HTTP source's error that was a redirect it stopped
    // following (its debug details say "Redirect to: ..."); nothing otherwise.
    static std::optional<std::string> redirectLoop(const char* details);
};

} // namespace zephyrscope
