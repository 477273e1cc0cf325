#pragma once

#include <string>
#include <vector>

namespace zephyrscope {

// One entry of what a URL put expands to.
struct PlaylistEntry {
    std::string uri;
    std::string title; // from the playlist; empty when it gives none
};

// Expands a playlist file with totem-pl-parser. Main-loop thread; parses
// synchronously, so it is given only local files (remote lists are downloaded first).
class PlaylistExpander {
public:
    struct Result {
        std::vector<PlaylistEntry> entries;
        std::string error; // set when the list could not be read or holds nothing
    };

    // fileUri: a file:// URI of the playlist. baseUri: what relative entries are
    // resolved against (the playlist's own URL, which for a downloaded list is remote).
    static Result expand(const std::string& fileUri, const std::string& baseUri);
};

} // namespace zephyrscope
