#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zephyrscope {

// Finds out why a network source failed when the source itself does not say
// (souphttpsrc with libsoup 3 reports a refused port, an unknown host or a
// refused TLS certificate as a bare flow error): connects to the URL's server
// once, as the source would have: on the scheme's default port when the URL
// names none, with a TLS handshake for a TLS scheme (https, rtsps), as core's
// table of protocols says.
// Upstream: c4cf06c017 (1.24.0) reports a refused certificate; a refused port or unknown host, no fix as of 1.28.6.
// Main-loop thread: the answer arrives from the default context, never from
// inside the constructor. Destroying the probe cancels it without a callback.
class ConnectionProbe {
public:
    // The system's reason the server cannot be reached, or nothing when it can
    // be (or when no answer came in time): then the failure lies elsewhere.
    using Done = std::function<void(std::optional<std::string> unreachable)>;

    // caFile: the certificate authorities a TLS server is checked against
    // (empty: the system's), as the source was told.
    ConnectionProbe(const std::string& uri, const std::string& caFile, Done done);
    ~ConnectionProbe();
    ConnectionProbe(const ConnectionProbe&) = delete;
    ConnectionProbe& operator=(const ConnectionProbe&) = delete;

    // Gives up waiting and answers "nothing found" now.
    void finishNow();

    // Whether a failure of a source for this scheme is worth probing, as core's
    // table of protocols says (case-insensitive).
    static bool appliesTo(const std::string& scheme);

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace zephyrscope
