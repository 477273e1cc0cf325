#include "ManifestFetch.h"

#include "GLibHandles.h"
#include "Protocol.h"

#include <libsoup/soup.h>

#include <vector>

namespace zephyrscope {

using namespace gsthandles;

struct ManifestFetch::State {
    Done done;
    GObjectPtr<SoupSession> session;
    GObjectPtr<SoupMessage> message;
    GObjectPtr<GCancellable> cancellable {g_cancellable_new()};
    GObjectPtr<GInputStream> body;
    std::vector<char> text;
    bool finished = false;

    void finish(std::optional<std::string> result)
    {
        if (finished)
            return;
        finished = true;
        g_cancellable_cancel(cancellable.get());
        Done callback = std::move(done);
        guarded("read the manifest's splices", [&] { callback(std::move(result)); });
    }
};

namespace {

using StateRef = std::shared_ptr<ManifestFetch::State>;

void onBodyRead(GObject* stream, GAsyncResult* result, gpointer data)
{
    const StateRef state = takeFromCallback<ManifestFetch::State>(data);
    gsize size = 0;
    GError* raw = nullptr;
    const bool read = g_input_stream_read_all_finish(G_INPUT_STREAM(stream), result, &size, &raw);
    ErrorPtr error(raw);
    if (!read || size > ManifestFetch::kMaxBodyBytes)
        state->finish(std::nullopt);
    else
        state->finish(std::string(state->text.data(), size));
}

void onAnswered(GObject* session, GAsyncResult* result, gpointer data)
{
    const StateRef state = takeFromCallback<ManifestFetch::State>(data);
    GError* raw = nullptr;
    GObjectPtr<GInputStream> stream(soup_session_send_finish(SOUP_SESSION(session), result, &raw));
    ErrorPtr error(raw);
    if (state->finished)
        return;
    if (error || !SOUP_STATUS_IS_SUCCESSFUL(soup_message_get_status(state->message.get()))) {
        state->finish(std::nullopt);
        return;
    }
    state->body = std::move(stream);
    state->text.resize(ManifestFetch::kMaxBodyBytes + 1);
    g_input_stream_read_all_async(state->body.get(), state->text.data(), state->text.size(), G_PRIORITY_DEFAULT,
                                  state->cancellable.get(), onBodyRead, holdForCallback(state));
}

} // namespace

ManifestFetch::ManifestFetch(std::shared_ptr<State> state)
    : m_state(std::move(state))
{
}

ManifestFetch::~ManifestFetch()
{
    // No callback after this: the pending calls find the state finished.
    m_state->finished = true;
    g_cancellable_cancel(m_state->cancellable.get());
}

bool ManifestFetch::finished() const
{
    return m_state->finished;
}

std::unique_ptr<ManifestFetch> ManifestFetch::start(const std::string& url, Done done)
{
    if (!isHttpScheme(url.substr(0, url.find(':'))))
        return nullptr;
    auto state = std::make_shared<State>();
    state->done = std::move(done);
    state->message.reset(soup_message_new("GET", url.c_str()));
    if (!state->message)
        return nullptr;
    g_object_set_data(G_OBJECT(state->message.get()), kOwnRequestKey, GINT_TO_POINTER(1));
    state->session.reset(soup_session_new_with_options("timeout", kTimeoutS, nullptr));
    soup_session_send_async(state->session.get(), state->message.get(), G_PRIORITY_DEFAULT, state->cancellable.get(),
                            onAnswered, holdForCallback(state));
    return std::unique_ptr<ManifestFetch>(new ManifestFetch(std::move(state)));
}

} // namespace zephyrscope
