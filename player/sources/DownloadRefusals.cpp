#include "DownloadRefusals.h"

#include "GLibHandles.h"
#include "RedactedUrl.h"

#include <libsoup/soup.h>

#include <cstring>
#include <mutex>

namespace zephyrscope {

namespace {

// Marks a message whose answer must not come compressed.
constexpr char kNoInflate[] = "zephyrscope-no-inflate";

// SoupSession::request-queued, after the session's features have set the
// request up: no compression asked for, none taken off. souphttpsrc asks for
// "identity" already (its "compress" is off) and its data passes a pad that
// bounds what it inflates; a demuxer's session asks for gzip and inflates
// without bound into memory.
gboolean onRequestQueued(GSignalInvocationHint*, guint count, const GValue* values, gpointer)
{
    if (count < 2 || !G_VALUE_HOLDS_OBJECT(&values[1]))
        return TRUE;
    auto* message = static_cast<SoupMessage*>(g_value_get_object(&values[1]));
    if (!SOUP_IS_MESSAGE(message))
        return TRUE;
    SoupMessageHeaders* headers = soup_message_get_request_headers(message);
    const char* asked = soup_message_headers_get_one(headers, "Accept-Encoding");
    if (asked && std::strcmp(asked, "identity") == 0)
        return TRUE;
    soup_message_headers_replace(headers, "Accept-Encoding", "identity");
    soup_message_disable_feature(message, SOUP_TYPE_CONTENT_DECODER);
    g_object_set_data(G_OBJECT(message), kNoInflate, GINT_TO_POINTER(1));
    return TRUE;
}

// SoupMessage::got-headers: an answer compressed although none was asked for.
gboolean onGotHeaders(GSignalInvocationHint*, guint count, const GValue* values, gpointer)
{
    if (count < 1 || !G_VALUE_HOLDS_OBJECT(&values[0]))
        return TRUE;
    auto* message = static_cast<SoupMessage*>(g_value_get_object(&values[0]));
    if (!SOUP_IS_MESSAGE(message) || !g_object_get_data(G_OBJECT(message), kNoInflate))
        return TRUE;
    const char* encoding = soup_message_headers_get_one(soup_message_get_response_headers(message), "Content-Encoding");
    if (!encoding || g_ascii_strcasecmp(encoding, "identity") == 0)
        return TRUE;
    std::string uri;
    if (GUri* raw = soup_message_get_uri(message)) {
        gsthandles::CharPtr text(g_uri_to_string(raw));
        uri = text ? text.get() : "";
    }
    DownloadRefusals::refuse(DownloadRefusals::compressedReason(RedactedUrl(uri), encoding));
    return TRUE;
}

} // namespace

void DownloadRefusals::watch()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        // A class's signals exist once the class does; the references are kept
        // for the process's life, as the hooks are.
        g_type_class_ref(SOUP_TYPE_SESSION);
        g_type_class_ref(SOUP_TYPE_MESSAGE);
        g_signal_add_emission_hook(g_signal_lookup("request-queued", SOUP_TYPE_SESSION), 0, &onRequestQueued, nullptr,
                                   nullptr);
        g_signal_add_emission_hook(g_signal_lookup("got-headers", SOUP_TYPE_MESSAGE), 0, &onGotHeaders, nullptr,
                                   nullptr);
    });
}

void DownloadRefusals::refuse(const std::string& reason)
{
    refusals().hear(reason);
}

EventTally::Channel& DownloadRefusals::refusals()
{
    // Never destroyed: the hooks may still run while the process exits.
    static auto& channel = *new EventTally::Channel;
    return channel;
}

bool DownloadRefusals::isLocalUriRefusal(const char* domain, const char* message)
{
    return domain && message && std::strcmp(domain, "libsoup") == 0
        && std::strstr(message, "SOUP_URI_IS_VALID") != nullptr;
}

std::string DownloadRefusals::compressedReason(const std::string& uri, const std::string& encoding)
{
    return "'" + uri + "' came compressed (" + encoding + ") though none was asked for: not inflated";
}

} // namespace zephyrscope
