#include "MetricsServer.h"

#include "GLibHandles.h"
#include "MetricsExposition.h"
#include "MetricsFigures.h"
#include "ProgramOptions.h"

#include <libsoup/soup.h>

#include <netinet/in.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string_view>

namespace zephyrscope {

namespace {

using gsthandles::ErrorPtr;
using ServerPtr = gsthandles::GObjectPtr<SoupServer>;
using InetAddressPtr = gsthandles::GObjectPtr<GInetAddress>;
using SocketAddressPtr = gsthandles::GObjectPtr<GSocketAddress>;
using SocketPtr = gsthandles::GObjectPtr<GSocket>;
using ServicePtr = gsthandles::GObjectPtr<GSocketService>;
using ConnectionPtr = gsthandles::GObjectPtr<GSocketConnection>;

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
// service; the port bound, or 0 with error set.
int listenSocket(GSocketService* service, GSocketAddress* address, bool v6Only, GError** error)
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
    if (!local || !g_socket_listener_add_socket(G_SOCKET_LISTENER(service), socket.get(), nullptr, error))
        return 0;
    return g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local.get()));
}

// Every IPv4 and IPv6 address, as soup_server_listen_all would, with our backlog.
int listenAll(GSocketService* service, int port, GError** error)
{
    const InetAddressPtr any4(g_inet_address_new_any(G_SOCKET_FAMILY_IPV4));
    const SocketAddressPtr address4(g_inet_socket_address_new(any4.get(), static_cast<guint16>(port)));
    const int bound = listenSocket(service, address4.get(), false, error);
    if (bound == 0)
        return 0;
    const InetAddressPtr any6(g_inet_address_new_any(G_SOCKET_FAMILY_IPV6));
    const SocketAddressPtr address6(g_inet_socket_address_new(any6.get(), static_cast<guint16>(bound)));
    GError* rawError = nullptr;
    if (listenSocket(service, address6.get(), true, &rawError) == 0) {
        // A machine without IPv6 is served on IPv4 alone.
        if (!g_error_matches(rawError, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED)) {
            g_propagate_error(error, rawError);
            return 0;
        }
        g_error_free(rawError);
    }
    return bound;
}

// A connection's peer as "address port", which tells the server's messages apart
// by the connection they came on.
std::string peerOf(GSocketAddress* address)
{
    if (!address || !G_IS_INET_SOCKET_ADDRESS(address))
        return {};
    GInetSocketAddress* inet = G_INET_SOCKET_ADDRESS(address);
    const gsthandles::CharPtr host(g_inet_address_to_string(g_inet_socket_address_get_address(inet)));
    return std::string(host.get()) + " " + std::to_string(g_inet_socket_address_get_port(inet));
}

} // namespace

struct MetricsServer::Impl {
    Impl(const MetricsFigures& f, int cap)
        : figures(f)
        , maxConnections(cap)
    {
    }

    struct Connection {
        ConnectionPtr stream;
        std::string peer;
        bool answering = false; // a request read and its answer not yet written
    };

    static gboolean onIncoming(GSocketService*, GSocketConnection* connection, GObject*, gpointer data)
    {
        static_cast<Impl*>(data)->accept(connection);
        return TRUE;
    }

    void accept(GSocketConnection* connection)
    {
        forgetClosed();
        while (static_cast<int>(open.size()) >= maxConnections && closeOldestIdle()) {
        }
        const SocketAddressPtr local(g_socket_connection_get_local_address(connection, nullptr));
        const SocketAddressPtr remote(g_socket_connection_get_remote_address(connection, nullptr));
        GError* rawError = nullptr;
        if (!local || !remote
            || !soup_server_accept_iostream(server.get(), G_IO_STREAM(connection), local.get(), remote.get(),
                                            &rawError)) {
            // Nothing to answer on: the client sees its connection closed.
            const ErrorPtr error(rawError);
            g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
            return;
        }
        open.push_back({ConnectionPtr(G_SOCKET_CONNECTION(g_object_ref(connection))), peerOf(remote.get()), false});
    }

    // libsoup closes a connection's stream when it is done with it.
    void forgetClosed()
    {
        open.erase(std::remove_if(open.begin(), open.end(),
                                  [](const Connection& c) { return g_io_stream_is_closed(G_IO_STREAM(c.stream.get())); }),
                   open.end());
    }

    // Shuts the oldest connection that is not answering down: libsoup reads its
    // end, closes it and lets its descriptor go. False when every one is answering.
    bool closeOldestIdle()
    {
        const auto oldest =
            std::find_if(open.begin(), open.end(), [](const Connection& c) { return !c.answering; });
        if (oldest == open.end())
            return false;
        g_socket_shutdown(g_socket_connection_get_socket(oldest->stream.get()), TRUE, TRUE, nullptr);
        open.erase(oldest);
        return true;
    }

    void setAnswering(SoupServerMessage* message, bool answering)
    {
        const std::string peer = peerOf(soup_server_message_get_remote_address(message));
        for (Connection& c : open)
            if (c.peer == peer)
                c.answering = answering;
    }

    static void onRequestRead(SoupServer*, SoupServerMessage* message, gpointer data)
    {
        static_cast<Impl*>(data)->setAnswering(message, true);
    }

    static void onRequestDone(SoupServer*, SoupServerMessage* message, gpointer data)
    {
        static_cast<Impl*>(data)->setAnswering(message, false);
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
    const int maxConnections;
    ServerPtr server;
    ServicePtr service;
    std::deque<Connection> open; // oldest first
    std::string text;
};

int MetricsServer::ConnectionCap(int wanted)
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return wanted;
    const rlim_t quarter = std::max<rlim_t>(limit.rlim_cur / 4, 1);
    return quarter < static_cast<rlim_t>(wanted) ? static_cast<int>(quarter) : wanted;
}

MetricsServer::MetricsServer(const MetricsFigures& figures, int maxConnections)
    : m_impl(std::make_unique<Impl>(figures, ConnectionCap(std::max(maxConnections, 1))))
{
}

MetricsServer::~MetricsServer()
{
    if (m_impl->service) {
        g_socket_service_stop(m_impl->service.get());
        g_socket_listener_close(G_SOCKET_LISTENER(m_impl->service.get()));
    }
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
    g_signal_connect(server.get(), "request-read", G_CALLBACK(&Impl::onRequestRead), m_impl.get());
    g_signal_connect(server.get(), "request-finished", G_CALLBACK(&Impl::onRequestDone), m_impl.get());
    g_signal_connect(server.get(), "request-aborted", G_CALLBACK(&Impl::onRequestDone), m_impl.get());
    // The server's connections are accepted here, so that they can be counted and capped.
    ServicePtr service(g_socket_service_new());
    g_signal_connect(service.get(), "incoming", G_CALLBACK(&Impl::onIncoming), m_impl.get());

    GError* rawError = nullptr;
    int port = 0; // with port 0 asked for, the system chose one: say which
    if (address.host.empty()) {
        port = listenAll(service.get(), address.port, &rawError);
    } else {
        const InetAddressPtr inet(g_inet_address_new_from_string(address.host.c_str()));
        if (!inet)
            fail("not a numeric IPv4 or IPv6 address");
        const SocketAddressPtr socketAddress(g_inet_socket_address_new(inet.get(), static_cast<guint16>(address.port)));
        port = listenSocket(service.get(), socketAddress.get(), false, &rawError);
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
    m_impl->service = std::move(service);
    g_socket_service_start(m_impl->service.get());
}

} // namespace zephyrscope
