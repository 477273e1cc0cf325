#include "WhepExchange.h"

#include "GstHandles.h"

#include <libsoup/soup.h>

#include <memory>

namespace zephyrscope {

namespace {

// A WHEP endpoint answers at once; one that does not is as good as absent.
constexpr guint kRequestTimeoutS = 10;
// Ending a session must not hold up the end of the entry for long.
constexpr guint kDeleteTimeoutS = 3;

struct BytesUnref {
    void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
};
using SessionPtr = std::unique_ptr<SoupSession, gsthandles::GObjectUnref>;
using MessagePtr = std::unique_ptr<SoupMessage, gsthandles::GObjectUnref>;
using BytesPtr = std::unique_ptr<GBytes, BytesUnref>;
using gsthandles::ErrorPtr;

SessionPtr newSession(guint timeoutS)
{
    return SessionPtr(soup_session_new_with_options("timeout", timeoutS, nullptr));
}

void authorise(SoupMessage* message, const std::string& token)
{
    if (!token.empty())
        soup_message_headers_replace(soup_message_get_request_headers(message), "Authorization",
                                     ("Bearer " + token).c_str());
}

std::string bodyText(GBytes* body)
{
    if (!body)
        return {};
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(body, &size));
    return std::string(data, size);
}

} // namespace

WhepExchange::WhepExchange(std::string endpoint, std::string token)
    : m_endpoint(std::move(endpoint))
    , m_token(std::move(token))
{
}

std::string WhepExchange::refusal(unsigned status, const std::string& reason, const std::string& body)
{
    std::string text = std::to_string(status);
    if (!reason.empty())
        text += " " + reason;
    const auto start = body.find_first_not_of("\r\n \t");
    if (start != std::string::npos) {
        std::string line = body.substr(start, body.find_first_of("\r\n", start) - start);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        text += ": " + line;
    }
    return text;
}

WhepExchange::Answer WhepExchange::offer(const std::string& sdp, GCancellable* cancellable) const
{
    Answer answer;
    const std::string failing = "Cannot open WHEP endpoint '" + m_endpoint + "': ";
    MessagePtr message(soup_message_new("POST", m_endpoint.c_str()));
    if (!message) {
        answer.error = failing + "not an HTTP URL";
        return answer;
    }
    authorise(message.get(), m_token);
    BytesPtr offer(g_bytes_new(sdp.data(), sdp.size()));
    soup_message_set_request_body_from_bytes(message.get(), "application/sdp", offer.get());
    SessionPtr session = newSession(kRequestTimeoutS);
    GError* raw = nullptr;
    BytesPtr body(soup_session_send_and_read(session.get(), message.get(), cancellable, &raw));
    ErrorPtr error(raw);
    if (error) {
        answer.error = failing + error->message;
        return answer;
    }
    const guint status = soup_message_get_status(message.get());
    const char* reason = soup_message_get_reason_phrase(message.get());
    if (status != SOUP_STATUS_CREATED && status != SOUP_STATUS_OK) {
        answer.error = failing + refusal(status, reason ? reason : "", bodyText(body.get()));
        return answer;
    }
    answer.sdp = bodyText(body.get());
    if (answer.sdp.empty()) {
        answer.error = failing + "the answer has no SDP";
        return answer;
    }
    // The session's resource; relative to the endpoint as a rule.
    if (const char* location
        = soup_message_headers_get_one(soup_message_get_response_headers(message.get()), "Location")) {
        if (GUri* resolved = g_uri_parse_relative(soup_message_get_uri(message.get()), location, static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS),
                                                  nullptr)) {
            gchar* text = g_uri_to_string(resolved);
            answer.sessionUrl = text;
            g_free(text);
            g_uri_unref(resolved);
        }
    }
    return answer;
}

std::string WhepExchange::end(const std::string& sessionUrl) const
{
    const std::string failing = "Cannot end WHEP session '" + sessionUrl + "': ";
    MessagePtr message(soup_message_new("DELETE", sessionUrl.c_str()));
    if (!message)
        return failing + "not an HTTP URL";
    authorise(message.get(), m_token);
    SessionPtr session = newSession(kDeleteTimeoutS);
    GError* raw = nullptr;
    BytesPtr body(soup_session_send_and_read(session.get(), message.get(), nullptr, &raw));
    ErrorPtr error(raw);
    if (error)
        return failing + error->message;
    const guint status = soup_message_get_status(message.get());
    if (!SOUP_STATUS_IS_SUCCESSFUL(status)) {
        const char* reason = soup_message_get_reason_phrase(message.get());
        return failing + refusal(status, reason ? reason : "", bodyText(body.get()));
    }
    return {};
}

} // namespace zephyrscope
