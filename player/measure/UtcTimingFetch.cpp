#include "UtcTimingFetch.h"

#include "GLibHandles.h"
#include "Protocol.h"

#include <libsoup/soup.h>

#include <array>

namespace zephyrscope {

using namespace gsthandles;

struct UtcTimingFetch::State {
    UtcTiming timing;
    Done done;
    GObjectPtr<SoupSession> session;
    GObjectPtr<SoupMessage> message;
    GObjectPtr<GCancellable> cancellable {g_cancellable_new()};
    GObjectPtr<GInputStream> body;
    SourcePtr deadline;
    std::array<char, kMaxBodyBytes + 1> text {};
    std::int64_t sentUs = 0;
    std::int64_t answeredUs = 0;
    bool finished = false;

    void finish(Result result)
    {
        if (finished)
            return;
        finished = true;
        deadline.reset();
        g_cancellable_cancel(cancellable.get());
        Done callback = std::move(done);
        guarded("report the server's clock", [&] { callback(std::move(result)); });
    }

    void fail(std::string reason) { finish({std::nullopt, std::move(reason)}); }

    // The server's time came with the answer's first bytes; the request took
    // the other half of the round trip.
    void timeRead(std::string_view text)
    {
        auto serverUs = UtcTiming::parseTime(timing.scheme, text);
        if (!serverUs) {
            std::string shown;
            for (const char c : text.substr(0, 40))
                shown += c >= ' ' && c <= '~' ? c : '?';
            fail("'" + shown + "' is not a time");
            return;
        }
        // A Date header is to the second: the server's time is taken mid-way through it.
        if (timing.scheme == UtcTiming::Scheme::HttpHead)
            *serverUs += 500000;
        finish({*serverUs - (sentUs + answeredUs) / 2, {}});
    }
};

namespace {

using StateRef = std::shared_ptr<UtcTimingFetch::State>;

void onBodyRead(GObject* stream, GAsyncResult* result, gpointer data)
{
    const StateRef state = takeFromCallback<UtcTimingFetch::State>(data);
    gsize size = 0;
    GError* raw = nullptr;
    g_input_stream_read_all_finish(G_INPUT_STREAM(stream), result, &size, &raw);
    ErrorPtr error(raw);
    if (state->finished)
        return;
    guarded("read the server's time", [&] {
        if (error)
            state->fail(error->message);
        else if (size > UtcTimingFetch::kMaxBodyBytes)
            state->fail("the answer is longer than " + std::to_string(UtcTimingFetch::kMaxBodyBytes) + " bytes");
        else
            state->timeRead(std::string_view(state->text.data(), size));
    });
}

// The answer's status and headers are in; its body, if read, follows.
void answered(const StateRef& state, GObjectPtr<GInputStream> stream)
{
    const guint status = soup_message_get_status(state->message.get());
    if (!SOUP_STATUS_IS_SUCCESSFUL(status)) {
        const char* reason = soup_message_get_reason_phrase(state->message.get());
        state->fail(std::to_string(status) + (reason && *reason ? std::string(" ") + reason : ""));
        return;
    }
    if (state->timing.scheme == UtcTiming::Scheme::HttpHead) {
        const char* date = soup_message_headers_get_one(soup_message_get_response_headers(state->message.get()), "Date");
        if (!date)
            state->fail("the answer has no Date header");
        else
            state->timeRead(date);
        return;
    }
    state->body = std::move(stream);
    g_input_stream_read_all_async(state->body.get(), state->text.data(), state->text.size(), G_PRIORITY_DEFAULT,
                                  state->cancellable.get(), onBodyRead, holdForCallback(state));
}

void onAnswered(GObject* session, GAsyncResult* result, gpointer data)
{
    const StateRef state = takeFromCallback<UtcTimingFetch::State>(data);
    GError* raw = nullptr;
    GObjectPtr<GInputStream> stream(soup_session_send_finish(SOUP_SESSION(session), result, &raw));
    ErrorPtr error(raw);
    state->answeredUs = g_get_real_time();
    if (state->finished)
        return;
    guarded("read the server's time", [&] {
        if (error)
            state->fail(error->message);
        else
            answered(state, std::move(stream));
    });
}

} // namespace

UtcTimingFetch::UtcTimingFetch(std::shared_ptr<State> state)
    : m_state(std::move(state))
{
}

UtcTimingFetch::~UtcTimingFetch()
{
    // No callback after this: the pending calls find the state finished.
    m_state->finished = true;
    m_state->deadline.reset();
    g_cancellable_cancel(m_state->cancellable.get());
}

std::unique_ptr<UtcTimingFetch> UtcTimingFetch::start(const UtcTiming& timing, Done done)
{
    auto state = std::make_shared<State>();
    state->timing = timing;
    state->done = std::move(done);
    if (!isHttpScheme(timing.value.substr(0, timing.value.find(':')))) {
        state->fail("not an http(s) URL");
        return nullptr;
    }
    state->message.reset(
        soup_message_new(timing.scheme == UtcTiming::Scheme::HttpHead ? "HEAD" : "GET", timing.value.c_str()));
    if (!state->message) {
        state->fail("not a valid URL");
        return nullptr;
    }
    state->session.reset(soup_session_new_with_options("timeout", kTimeoutS, nullptr));
    // The session's timeout is per read: a server that trickles its answer is
    // stopped here.
    auto* deadlineHolder = new std::weak_ptr<State>(state);
    GSource* deadline = g_timeout_source_new_seconds(kTimeoutS);
    g_source_set_callback(
        deadline,
        [](gpointer data) -> gboolean {
            if (const StateRef state = static_cast<std::weak_ptr<State>*>(data)->lock())
                guarded("read the server's time",
                        [&] { state->fail("no answer in " + std::to_string(kTimeoutS) + " s"); });
            return G_SOURCE_REMOVE;
        },
        deadlineHolder, [](gpointer data) { delete static_cast<std::weak_ptr<State>*>(data); });
    g_source_attach(deadline, nullptr);
    state->deadline.reset(deadline);
    state->sentUs = g_get_real_time();
    soup_session_send_async(state->session.get(), state->message.get(), G_PRIORITY_DEFAULT, state->cancellable.get(),
                            onAnswered, holdForCallback(state));
    return std::unique_ptr<UtcTimingFetch>(new UtcTimingFetch(std::move(state)));
}

} // namespace zephyrscope
