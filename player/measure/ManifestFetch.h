#pragma once

// One GET of a playlist or MPD over libsoup on the default main context, for
// the splices it signals: the demuxer fetches its manifests itself and hands
// on none of their text after the first. The answer is hostile input: its body
// is read up to kMaxBodyBytes, each read ends after kTimeoutS. The request is
// marked as the player's own (kOwnRequestKey), so the demuxer's request
// counting leaves it out. Destroying the fetch cancels it, and no callback
// follows. Private to player/.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zephyrscope {

class ManifestFetch {
public:
    static constexpr unsigned kTimeoutS = 5;
    static constexpr std::size_t kMaxBodyBytes = 1 << 20;
    // Set as object data on the player's own SoupMessages.
    static constexpr const char* kOwnRequestKey = "zephyrscope-own-request";

    // The body, or nothing when the fetch failed (any reason: the splices of
    // this copy are simply not read).
    using Done = std::function<void(std::optional<std::string>)>;

    // Starts fetching url; done is called once, from the main loop. Nothing
    // when the request cannot be made (not an http(s) URL).
    static std::unique_ptr<ManifestFetch> start(const std::string& url, Done done);
    ~ManifestFetch();
    ManifestFetch(const ManifestFetch&) = delete;
    ManifestFetch& operator=(const ManifestFetch&) = delete;

    bool finished() const;

    struct State;

private:
    explicit ManifestFetch(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

} // namespace zephyrscope
