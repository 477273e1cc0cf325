#include "MetricsServer.h"

#include "GLibHandles.h"
#include "MetricsExposition.h"
#include "MetricsFigures.h"
#include "ProgramOptions.h"

#include <libsoup/soup.h>

#include <netinet/in.h>

#include <cstring>
#include <string_view>

namespace zephyrscope {

namespace {

using gsthandles::ErrorPtr;
using ServerPtr = gsthandles::GObjectPtr<SoupServer>;
using InetAddressPtr = gsthandles::GObjectPtr<GInetAddress>;
using SocketAddressPtr = gsthandles::GObjectPtr<GSocketAddress>;
using SocketPtr = gsthandles::GObjectPtr<GSocket>;

// libsoup listens with GSocket's default backlog of 10: during a flood of
// connections a scrape waited in the kernel's queue behind them for about a
// second. The kernel caps this at net.core.somaxconn (4096 on Debian 12).
constexpr int kListenBacklog = 1024;

constexpr char kPlainText[] = "text/plain; charset=utf-8";
constexpr char kIndexText[] = "Zephyrscope: the figures are at /metrics\n";

void respond(SoupServerMessage* message, guint status, const char* contentType, std::string_view body)
{
    soup_server_message_set_status(message, status, nullptr);
    soup_server_message_set_response(message, contentType, SOUP_MEMORY_COPY, body.data(), body.size());
}

// GLib says "Error binding to address 127.0.0.1:9464: Address already in use";
// the address is in our message already, so only the system's reason is kept.
std::string reasonOf(const GError* error)
{
    const std::string_view text(error->message);
    const std::size_t colon = text.rfind(": ");
    return std::string(colon == std::string_view::npos ? text : text.substr(colon + 2));
}

// Binds and listens on address with kListenBacklog and hands the socket to
// server; the port bound, or 0 with error set.
int listenSocket(SoupServer* server, GSocketAddress* address, bool v6Only, GError** error)
{
    const SocketPtr socket(
        g_socket_new(g_socket_address_get_family(address), G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, error));
    if (!socket)
        return 0;
    if (v6Only && !g_socket_set_option(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, 1, error))
        return 0;
    g_socket_set_listen_backlog(socket.get(), kListenBacklog);
    if (!g_socket_bind(socket.get(), address, TRUE, error) || !g_socket_listen(socket.get(), error))
        return 0;
    const SocketAddressPtr local(g_socket_get_local_address(socket.get(), error));
    if (!local || !soup_server_listen_socket(server, socket.get(), static_cast<SoupServerListenOptions>(0), error))
        return 0;
    return g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local.get()));
}

// Every IPv4 and IPv6 address, as soup_server_listen_all would, with our backlog.
int listenAll(SoupServer* server, int port, GError** error)
{
    const InetAddressPtr any4(g_inet_address_new_any(G_SOCKET_FAMILY_IPV4));
    const SocketAddressPtr address4(g_inet_socket_address_new(any4.get(), static_cast<guint16>(port)));
    const int bound = listenSocket(server, address4.get(), false, error);
    if (bound == 0)
        return 0;
    const InetAddressPtr any6(g_inet_address_new_any(G_SOCKET_FAMILY_IPV6));
    const SocketAddressPtr address6(g_inet_socket_address_new(any6.get(), static_cast<guint16>(bound)));
    GError* rawError = nullptr;
    if (listenSocket(server, address6.get(), true, &rawError) == 0) {
        // A machine without IPv6 is served on IPv4 alone.
        if (!g_error_matches(rawError, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED)) {
            g_propagate_error(error, rawError);
            return 0;
        }
        g_error_free(rawError);
    }
    return bound;
}

} // namespace

struct MetricsServer::Impl {
    explicit Impl(const MetricsFigures& f)
        : figures(f)
    {
    }

    static void onRequest(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer data)
    {
        static_cast<Impl*>(data)->answer(message, path);
    }

    void answer(SoupServerMessage* message, std::string_view path)
    {
        if (path != "/metrics" && path != "/") {
            respond(message, SOUP_STATUS_NOT_FOUND, kPlainText, "Not found: the figures are at /metrics\n");
            return;
        }
        const char* method = soup_server_message_get_method(message);
        if (std::strcmp(method, SOUP_METHOD_GET) != 0 && std::strcmp(method, SOUP_METHOD_HEAD) != 0) {
            soup_message_headers_replace(soup_server_message_get_response_headers(message), "Allow", "GET, HEAD");
            respond(message, SOUP_STATUS_METHOD_NOT_ALLOWED, kPlainText, "Only GET and HEAD are served here\n");
            return;
        }
        if (path == "/") {
            respond(message, SOUP_STATUS_OK, kPlainText, kIndexText);
            return;
        }
        // The buffer keeps its capacity, so a scrape allocates little once warm.
        FormatMetricsExposition(figures, text);
        respond(message, SOUP_STATUS_OK, kMetricsContentType, text);
    }

    const MetricsFigures& figures;
    ServerPtr server;
    std::string text;
};

MetricsServer::MetricsServer(const MetricsFigures& figures)
    : m_impl(std::make_unique<Impl>(figures))
{
}

MetricsServer::~MetricsServer()
{
    if (m_impl->server)
        soup_server_disconnect(m_impl->server.get());
}

void MetricsServer::listen(const MetricsAddress& address)
{
    const std::string name = FormatMetricsAddress(address);
    const auto fail = [&name](const std::string& reason) {
        throw MetricsError("Cannot listen on '" + name + "': " + reason);
    };

    ServerPtr server(SOUP_SERVER(soup_server_new("server-header", "zephyrscope ", nullptr)));
    soup_server_add_handler(server.get(), nullptr, &Impl::onRequest, m_impl.get(), nullptr);

    GError* rawError = nullptr;
    int port = 0; // with port 0 asked for, the system chose one: say which
    if (address.host.empty()) {
        port = listenAll(server.get(), address.port, &rawError);
    } else {
        const InetAddressPtr inet(g_inet_address_new_from_string(address.host.c_str()));
        if (!inet)
            fail("not a numeric IPv4 or IPv6 address");
        const SocketAddressPtr socketAddress(g_inet_socket_address_new(inet.get(), static_cast<guint16>(address.port)));
        port = listenSocket(server.get(), socketAddress.get(), false, &rawError);
    }
    const ErrorPtr error(rawError);
    if (port == 0)
        fail(error ? reasonOf(error.get()) : "unknown error");

    MetricsAddress bound = address;
    bound.port = port;
    if (bound.host.empty())
        bound.host = "0.0.0.0";
    m_metricsUrl = "http://" + FormatMetricsAddress(bound) + "/metrics";
    m_impl->server = std::move(server);
}

} // namespace zephyrscope
