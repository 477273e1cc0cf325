#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace zephyrscope::testing {

// HTTPS in front of a local HTTP test server: accepts TLS connections on
// 127.0.0.1 and a free port with a self-signed certificate for 127.0.0.1 made
// at start (openssl), and relays each to the HTTP server's port. Serves on a
// thread and main context of its own, so a test may block (waiting for a
// program run) while it answers; the destructor ends it.
class HttpsTestProxy {
public:
    // dir: where the certificate and key are written.
    HttpsTestProxy(std::uint16_t httpPort, std::filesystem::path dir);
    ~HttpsTestProxy();
    HttpsTestProxy(const HttpsTestProxy&) = delete;
    HttpsTestProxy& operator=(const HttpsTestProxy&) = delete;

    // Makes the certificate and starts listening; throws std::runtime_error when it cannot.
    void start();

    // The self-signed certificate (PEM), its own authority.
    const std::filesystem::path& certificate() const { return m_certificate; }
    // "https://127.0.0.1:<port>/<pathAndQuery>"
    std::string url(const std::string& pathAndQuery) const;

private:
    struct Service;
    std::uint16_t m_httpPort;
    std::filesystem::path m_dir;
    std::filesystem::path m_certificate;
    std::uint16_t m_port = 0;
    std::unique_ptr<Service> m_service;
};

} // namespace zephyrscope::testing
