#include "HttpsTestProxy.h"

#include <gio/gio.h>

#include <stdexcept>
#include <thread>

namespace zephyrscope::testing {

namespace {

std::string takeMessage(GError* error, const char* fallback)
{
    const std::string message = error && error->message ? error->message : fallback;
    g_clear_error(&error);
    return message;
}

} // namespace

struct HttpsTestProxy::Service {
    GSocketService* service = nullptr;
    GTlsCertificate* certificate = nullptr;
    std::uint16_t httpPort = 0;
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    std::thread thread;

    ~Service()
    {
        if (thread.joinable()) {
            // Quit from inside the loop: a quit before it runs would be lost.
            GSource* quit = g_idle_source_new();
            g_source_set_callback(
                quit,
                [](gpointer data) -> gboolean {
                    g_main_loop_quit(static_cast<GMainLoop*>(data));
                    return G_SOURCE_REMOVE;
                },
                loop, nullptr);
            g_source_attach(quit, context);
            g_source_unref(quit);
            thread.join();
        }
        if (service) {
            g_socket_service_stop(service);
            g_socket_listener_close(G_SOCKET_LISTENER(service));
            g_object_unref(service);
        }
        if (certificate)
            g_object_unref(certificate);
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }

    // Main loop: one client; its TLS stream and a plain connection to the HTTP
    // server are spliced until either side closes.
    static gboolean onIncoming(GSocketService*, GSocketConnection* connection, GObject*, gpointer data)
    {
        auto* self = static_cast<Service*>(data);
        GError* error = nullptr;
        GIOStream* tls = g_tls_server_connection_new(G_IO_STREAM(connection), self->certificate, &error);
        if (!tls) {
            g_printerr("Cannot accept connection 'https proxy': %s\n", takeMessage(error, "no TLS").c_str());
            return TRUE;
        }
        GSocketClient* client = g_socket_client_new();
        GSocketConnection* plain =
            g_socket_client_connect_to_host(client, "127.0.0.1", self->httpPort, nullptr, &error);
        g_object_unref(client);
        if (!plain) {
            g_printerr("Cannot connect to '127.0.0.1:%u': %s\n", self->httpPort, takeMessage(error, "failed").c_str());
            g_object_unref(tls);
            return TRUE;
        }
        g_io_stream_splice_async(tls, G_IO_STREAM(plain),
                                 static_cast<GIOStreamSpliceFlags>(G_IO_STREAM_SPLICE_CLOSE_STREAM1
                                                                   | G_IO_STREAM_SPLICE_CLOSE_STREAM2),
                                 G_PRIORITY_DEFAULT, nullptr, &Service::onSpliced, nullptr);
        // The splice holds both streams until it ends.
        g_object_unref(tls);
        g_object_unref(plain);
        return TRUE;
    }

    static void onSpliced(GObject*, GAsyncResult* result, gpointer)
    {
        g_io_stream_splice_finish(result, nullptr); // a client that refused the certificate ends here
    }
};

HttpsTestProxy::HttpsTestProxy(std::uint16_t httpPort, std::filesystem::path dir)
    : m_httpPort(httpPort)
    , m_dir(std::move(dir))
{
}

HttpsTestProxy::~HttpsTestProxy() = default;

std::string HttpsTestProxy::url(const std::string& pathAndQuery) const
{
    return "https://127.0.0.1:" + std::to_string(m_port) + "/" + pathAndQuery;
}

void HttpsTestProxy::start()
{
    m_certificate = m_dir / "https-test-cert.pem";
    const std::filesystem::path key = m_dir / "https-test-key.pem";
    const std::string cert = m_certificate.string(), keyPath = key.string();
    const char* argv[] = {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                          "-nodes", "-keyout", keyPath.c_str(), "-out", cert.c_str(), "-days", "2", "-subj",
                          "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", nullptr};
    gint status = -1;
    GError* error = nullptr;
    if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr,
                      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL
                                               | G_SPAWN_STDERR_TO_DEV_NULL),
                      nullptr, nullptr, nullptr, nullptr, &status, &error)
        || !g_spawn_check_wait_status(status, nullptr))
        throw std::runtime_error("Cannot make certificate '" + cert + "': " + takeMessage(error, "openssl failed"));

    m_service = std::make_unique<Service>();
    m_service->httpPort = m_httpPort;
    m_service->certificate = g_tls_certificate_new_from_files(cert.c_str(), keyPath.c_str(), &error);
    if (!m_service->certificate)
        throw std::runtime_error("Cannot load certificate '" + cert + "': " + takeMessage(error, "unknown"));
    // The service accepts, and the splices run, on the context that is the
    // thread's default when it is made and started: the proxy's own.
    g_main_context_push_thread_default(m_service->context);
    m_service->service = g_socket_service_new();
    GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
    GSocketAddress* address = g_inet_socket_address_new(loopback, 0);
    g_object_unref(loopback);
    GSocketAddress* bound = nullptr;
    const gboolean added = g_socket_listener_add_address(G_SOCKET_LISTENER(m_service->service), address,
                                                         G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr,
                                                         &bound, &error);
    g_object_unref(address);
    if (!added) {
        g_main_context_pop_thread_default(m_service->context);
        throw std::runtime_error("Cannot listen on '127.0.0.1': " + takeMessage(error, "unknown"));
    }
    m_port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
    g_object_unref(bound);
    g_signal_connect(m_service->service, "incoming", G_CALLBACK(&Service::onIncoming), m_service.get());
    g_socket_service_start(m_service->service);
    g_main_context_pop_thread_default(m_service->context);
    Service* service = m_service.get();
    service->thread = std::thread([service] {
        g_main_context_push_thread_default(service->context);
        g_main_loop_run(service->loop);
        g_main_context_pop_thread_default(service->context);
    });
}

} // namespace zephyrscope::testing
