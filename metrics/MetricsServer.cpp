#include "MetricsServer.h"

#include "GLibHandles.h"
#include "MetricsExposition.h"
#include "MetricsFigures.h"
#include "ProgramOptions.h"

#include <libsoup/soup.h>

#include <cstring>
#include <string_view>

namespace zephyrscope {

namespace {

using gsthandles::ErrorPtr;
using ServerPtr = gsthandles::GObjectPtr<SoupServer>;
using InetAddressPtr = gsthandles::GObjectPtr<GInetAddress>;
using SocketAddressPtr = gsthandles::GObjectPtr<GSocketAddress>;

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
    gboolean listening = FALSE;
    if (address.host.empty()) {
        listening = soup_server_listen_all(server.get(), static_cast<guint>(address.port),
                                           static_cast<SoupServerListenOptions>(0), &rawError);
    } else {
        const InetAddressPtr inet(g_inet_address_new_from_string(address.host.c_str()));
        if (!inet)
            fail("not a numeric IPv4 or IPv6 address");
        const SocketAddressPtr socketAddress(g_inet_socket_address_new(inet.get(), static_cast<guint16>(address.port)));
        listening = soup_server_listen(server.get(), socketAddress.get(), static_cast<SoupServerListenOptions>(0),
                                       &rawError);
    }
    const ErrorPtr error(rawError);
    if (!listening)
        fail(error ? reasonOf(error.get()) : "unknown error");

    // With port 0 the system chose one; say which.
    int port = address.port;
    GSList* uris = soup_server_get_uris(server.get());
    if (uris)
        port = g_uri_get_port(static_cast<GUri*>(uris->data));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    MetricsAddress bound = address;
    bound.port = port;
    if (bound.host.empty())
        bound.host = "0.0.0.0";
    m_metricsUrl = "http://" + FormatMetricsAddress(bound) + "/metrics";
    m_impl->server = std::move(server);
}

} // namespace zephyrscope
