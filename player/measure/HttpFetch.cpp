#include "HttpFetch.h"

#include "GLibHandles.h"
#include "Protocol.h"

#include <libsoup/soup.h>

#include <vector>

namespace zephyrscope {

using namespace gsthandles;

struct HttpFetch::State {
    Done done;
    GObjectPtr<SoupSession> session;
    GObjectPtr<SoupMessage> message;
    GObjectPtr<GCancellable> cancellable {g_cancellable_new()};
    GObjectPtr<GInputStream> body;
    SourcePtr deadline;
    std::vector<char> text;
    unsigned deadlineS = 0;
    Answer answer;
    bool finished = false;

    void finish()
    {
        if (finished)
            return;
        finished = true;
        deadline.reset();
        g_cancellable_cancel(cancellable.get());
        Done callback = std::move(done);
        guarded("read an HTTP answer", [&] { callback(std::move(answer)); });
    }

    void fail(std::string error)
    {
        answer.error = std::move(error);
        finish();
    }
};

namespace {

using StateRef = std::shared_ptr<HttpFetch::State>;

void onBodyRead(GObject* stream, GAsyncResult* result, gpointer data)
{
    const StateRef state = takeFromCallback<HttpFetch::State>(data);
    gsize size = 0;
    GError* raw = nullptr;
    g_input_stream_read_all_finish(G_INPUT_STREAM(stream), result, &size, &raw);
    const ErrorPtr error(raw);
    if (error)
        return state->fail(error->message);
    state->answer.body.assign(state->text.data(), size);
    state->finish();
}

void onAnswered(GObject* session, GAsyncResult* result, gpointer data)
{
    const StateRef state = takeFromCallback<HttpFetch::State>(data);
    GError* raw = nullptr;
    GObjectPtr<GInputStream> stream(soup_session_send_finish(SOUP_SESSION(session), result, &raw));
    const ErrorPtr error(raw);
    state->answer.answeredUs = g_get_real_time();
    if (state->finished)
        return;
    if (error)
        return state->fail(error->message);
    SoupMessage* message = state->message.get();
    state->answer.status = soup_message_get_status(message);
    const char* reason = soup_message_get_reason_phrase(message);
    state->answer.reason = reason ? reason : "";
    const char* date = soup_message_headers_get_one(soup_message_get_response_headers(message), "Date");
    state->answer.date = date ? date : "";
    if (state->text.empty() || !SOUP_STATUS_IS_SUCCESSFUL(state->answer.status))
        return state->finish();
    state->body = std::move(stream);
    g_input_stream_read_all_async(state->body.get(), state->text.data(), state->text.size(), G_PRIORITY_DEFAULT,
                                  state->cancellable.get(), onBodyRead, holdForCallback(state));
}

gboolean onDeadline(gpointer data)
{
    if (const StateRef state = static_cast<std::weak_ptr<HttpFetch::State>*>(data)->lock())
        state->fail("no answer in " + std::to_string(state->deadlineS) + " s");
    return G_SOURCE_REMOVE;
}

} // namespace

HttpFetch::HttpFetch(std::shared_ptr<State> state)
    : m_state(std::move(state))
{
}

HttpFetch::~HttpFetch()
{
    // No callback after this: the pending calls find the state finished.
    m_state->finished = true;
    m_state->deadline.reset();
    g_cancellable_cancel(m_state->cancellable.get());
}

bool HttpFetch::finished() const
{
    return m_state->finished;
}

std::unique_ptr<HttpFetch> HttpFetch::start(const Request& request, Done done)
{
    auto state = std::make_shared<State>();
    state->done = std::move(done);
    if (!isHttpScheme(request.url.substr(0, request.url.find(':')))) {
        state->fail("not an http(s) URL");
        return nullptr;
    }
    state->message.reset(soup_message_new(request.method, request.url.c_str()));
    if (!state->message) {
        state->fail("not a valid URL");
        return nullptr;
    }
    if (request.own)
        g_object_set_data(G_OBJECT(state->message.get()), kOwnRequestKey, GINT_TO_POINTER(1));
    if (request.maxBodyBytes > 0)
        state->text.resize(request.maxBodyBytes + 1);
    state->session.reset(soup_session_new_with_options("timeout", request.readTimeoutS, nullptr));
    if (request.deadlineS > 0) {
        state->deadlineS = request.deadlineS;
        state->deadline.reset(g_timeout_source_new_seconds(request.deadlineS));
        g_source_set_callback(state->deadline.get(), onDeadline, new std::weak_ptr<State>(state),
                              [](gpointer data) { delete static_cast<std::weak_ptr<State>*>(data); });
        g_source_attach(state->deadline.get(), nullptr);
    }
    state->answer.sentUs = g_get_real_time();
    soup_session_send_async(state->session.get(), state->message.get(), G_PRIORITY_DEFAULT, state->cancellable.get(),
                            onAnswered, holdForCallback(state));
    return std::unique_ptr<HttpFetch>(new HttpFetch(std::move(state)));
}

} // namespace zephyrscope
