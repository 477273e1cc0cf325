#pragma once

#include "PlaylistExpander.h"

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace zephyrscope {

class RemotePlaylistFetch;

// Expands the entries of a playlist that are playlists themselves (any format
// the expander reads, local or remote) in place, depth first, so that a list of
// lists plays as the one list its user meant. A list met again inside itself is
// skipped, and lists nested deeper than kMaxDepth are not opened: a list that
// lists itself plays what else it lists, once.
// Main-loop thread: remote lists are fetched one at a time; the result comes from
// start() when nothing is remote, else from the main loop. Destroying the
// expansion cancels it without a callback.
class NestedPlaylists {
public:
    static constexpr int kMaxDepth = 8;

    struct Failure {
        std::string url;
        std::string reason;
    };
    struct Result {
        std::vector<PlaylistEntry> entries; // media only, in playing order
        std::vector<Failure> failures;      // nested lists that could not be read
    };
    using Done = std::function<void(Result)>;

    // rootUri: the list whose entries are given to start(); caFile as for the fetch.
    NestedPlaylists(std::string rootUri, std::string caFile, Done done);
    ~NestedPlaylists();
    NestedPlaylists(const NestedPlaylists&) = delete;
    NestedPlaylists& operator=(const NestedPlaylists&) = delete;

    void start(std::vector<PlaylistEntry> entries);

private:
    // A list being walked: its entries and how far the walk has come.
    struct Level {
        std::string uri;
        std::vector<PlaylistEntry> entries;
        std::size_t next = 0;
    };

    void walk();
    // Opens a nested list; false when it is being fetched and the walk must wait.
    bool descend(const PlaylistEntry& entry);
    void expanded(const std::string& uri, PlaylistExpander::Result result);

    std::string m_caFile;
    Done m_done;
    std::vector<Level> m_path;
    Result m_result;
    std::unique_ptr<RemotePlaylistFetch> m_fetch;
    std::unique_ptr<RemotePlaylistFetch> m_answered;
};

} // namespace zephyrscope
