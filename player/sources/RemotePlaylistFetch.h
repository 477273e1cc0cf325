#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zephyrscope {

// Downloads a remote playlist into a temporary file with a small GStreamer
// pipeline (URI source → file sink), so it can be parsed like a local one.
// Main-loop thread: the result arrives from a bus watch on the default context,
// never from inside start(). Destroying the fetch cancels it without a callback.
class RemotePlaylistFetch {
public:
    struct Result {
        std::string filePath; // the downloaded copy; the caller deletes it
        std::string error;    // set when the download failed
    };
    using Done = std::function<void(Result)>;

    // caFile: the certificate authorities an https URL is checked against; empty: the system's.
    RemotePlaylistFetch(std::string url, std::string caFile, Done done);
    ~RemotePlaylistFetch();
    RemotePlaylistFetch(const RemotePlaylistFetch&) = delete;
    RemotePlaylistFetch& operator=(const RemotePlaylistFetch&) = delete;

    void start();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace zephyrscope
