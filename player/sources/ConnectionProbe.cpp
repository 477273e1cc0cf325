#include "ConnectionProbe.h"

#include "CaFileTrust.h"
#include "GstHandles.h"
#include "MediaUrl.h"
#include "Protocol.h"
#include "TlsTrust.h"

#include <gio/gio.h>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr guint kProbeTimeoutS = 10; // name lookup is not bounded by the socket timeout

} // namespace

struct ConnectionProbe::State {
    Done done;
    std::unique_ptr<GCancellable, GObjectUnref> cancellable;
    std::unique_ptr<GSocketClient, GObjectUnref> client;
    std::unique_ptr<GTlsDatabase, GObjectUnref> database; // the CA file's, when one was given
    std::string caFileError;                              // why that file could not be used
    std::string host;
    unsigned certificateFlags = 0; // why the server's certificate was refused
    SourcePtr timeout;

    void finish(std::optional<std::string> unreachable)
    {
        timeout.reset();
        if (cancellable)
            g_cancellable_cancel(cancellable.get());
        if (!done)
            return;
        // The callback may destroy the probe: only this local copy is used after it.
        Done callback = std::move(done);
        done = nullptr;
        guarded("report an unreachable server", [&] { callback(std::move(unreachable)); });
    }

    static void onConnected(GObject* client, GAsyncResult* result, gpointer data)
    {
        // The pending connect owned a reference to the state; it ends here,
        // even when the probe is gone and the connect was cancelled.
        const std::shared_ptr<State> owner = takeFromCallback<State>(data);
        GError* raw = nullptr;
        std::unique_ptr<GSocketConnection, GObjectUnref> connection(
            g_socket_client_connect_to_uri_finish(G_SOCKET_CLIENT(client), result, &raw));
        ErrorPtr error(raw);
        if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
            return;
        State& state = *owner;
        if (!state.caFileError.empty())
            state.finish(state.caFileError);
        else if (connection || !error || !error->message)
            state.finish(std::nullopt);
        else if (state.certificateFlags != 0 || g_error_matches(error.get(), G_TLS_ERROR, G_TLS_ERROR_BAD_CERTIFICATE))
            state.finish("Cannot verify the TLS certificate of " + state.host + ": "
                         + TlsTrust::certificateProblems(state.certificateFlags));
        else if (error->domain == G_TLS_ERROR)
            state.finish("Cannot make a TLS connection to " + state.host + ": " + error->message);
        else
            state.finish(std::string(error->message));
    }

    // The client's TLS connection, before its handshake: checked against the
    // CA file when one was given, and the reason for a refusal kept.
    static void onClientEvent(GSocketClient*, GSocketClientEvent event, GSocketConnectable*, GIOStream* connection,
                              gpointer data)
    {
        if (event != G_SOCKET_CLIENT_TLS_HANDSHAKING || !G_IS_TLS_CONNECTION(connection))
            return;
        auto* state = static_cast<State*>(data);
        if (state->database)
            g_tls_connection_set_database(G_TLS_CONNECTION(connection), state->database.get());
        g_signal_connect(connection, "accept-certificate", G_CALLBACK(&State::onAcceptCertificate), state);
    }

    static gboolean onAcceptCertificate(GTlsConnection*, GTlsCertificate*, GTlsCertificateFlags errors, gpointer data)
    {
        static_cast<State*>(data)->certificateFlags = errors;
        return FALSE;
    }

    static gboolean onTimeout(gpointer data)
    {
        static_cast<State*>(data)->finish(std::nullopt);
        return G_SOURCE_REMOVE;
    }
};

ConnectionProbe::ConnectionProbe(const std::string& uri, const std::string& caFile, Done done)
    : m_state(std::make_shared<State>())
{
    State& state = *m_state;
    state.done = std::move(done);
    state.cancellable.reset(g_cancellable_new());
    state.client.reset(g_socket_client_new());
    g_socket_client_set_timeout(state.client.get(), kProbeTimeoutS);
    // How the source reaches its server, as core's table has it for the scheme.
    const Scheme* scheme = schemeNamed(MediaUrl::scheme(uri));
    if (scheme && scheme->tls) {
        if (const UriPtr parsed(g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr));
            parsed && g_uri_get_host(parsed.get()))
            state.host = g_uri_get_host(parsed.get());
        g_socket_client_set_tls(state.client.get(), TRUE);
        std::string reason;
        if (!caFile.empty())
            state.database.reset(CaFileTrust::database(caFile, reason).release());
        if (!reason.empty())
            state.caFileError = "Cannot use CA file '" + caFile + "': " + reason;
        // The state outlives the client's connect: its pending callback holds it.
        g_signal_connect(state.client.get(), "event", G_CALLBACK(&State::onClientEvent), &state);
    }

    state.timeout = attach(g_timeout_source_new_seconds(kProbeTimeoutS), &State::onTimeout, &state);

    g_socket_client_connect_to_uri_async(state.client.get(), uri.c_str(), scheme ? scheme->defaultPort : 0,
                                         state.cancellable.get(), &State::onConnected, holdForCallback(m_state));
}

ConnectionProbe::~ConnectionProbe()
{
    m_state->done = nullptr;
    m_state->finish(std::nullopt);
}

void ConnectionProbe::finishNow()
{
    m_state->finish(std::nullopt);
}

bool ConnectionProbe::appliesTo(const std::string& scheme)
{
    const Protocol* protocol = protocolForScheme(scheme);
    return protocol && protocol->connectionProbe;
}

} // namespace zephyrscope
