#include "AdaptiveRequests.h"

#include "GstHandles.h"
#include "HttpFetch.h"

#include <gmodule.h>
#include <gst/gst.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace zephyrscope {

namespace {

struct Watch {
    std::string authority;
    std::string manifestUri; // fetched by playbin3's source, whose bytes are counted at its pad
    std::weak_ptr<StreamCounters> counters;
};

std::mutex g_mutex;
std::vector<Watch> g_watches; // newest last
bool g_hooked = false;
// When each message in flight started (monotonic us), for its download time. A
// message's address is only a key while it is in flight: "finished" removes it.
std::map<const void*, std::int64_t> g_started;
constexpr std::size_t kMaxInFlight = 1024; // a bound, should "finished" never come

// The two libsoup 3 calls that give a response's Content-Length, looked up in the
// copy the soup plugins loaded (GStreamer loads libsoup at run time and we do not
// link it). Null when libsoup 3 is not the one loaded.
using ResponseHeaders = gpointer (*)(gpointer message);
using ContentLength = gint64 (*)(gpointer headers);
ResponseHeaders g_responseHeaders = nullptr;
ContentLength g_contentLength = nullptr;

void findContentLength()
{
    GModule* soup = g_module_open("libsoup-3.0.so.0", static_cast<GModuleFlags>(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL));
    if (!soup)
        return;
    gpointer headers = nullptr, length = nullptr;
    if (g_module_symbol(soup, "soup_message_get_response_headers", &headers)
        && g_module_symbol(soup, "soup_message_headers_get_content_length", &length)) {
        g_responseHeaders = reinterpret_cast<ResponseHeaders>(headers);
        g_contentLength = reinterpret_cast<ContentLength>(length);
        g_module_make_resident(soup);
    }
    g_module_close(soup);
}

// "http://host:port" of a URI; the whole text when it has no path.
std::string authorityOf(const std::string& uri)
{
    const auto schemeEnd = uri.find("://");
    if (schemeEnd == std::string::npos)
        return uri;
    return uri.substr(0, uri.find('/', schemeEnd + 3));
}

// libsoup 3's messages carry their URI as a GUri; libsoup 2's as a SoupURI,
// which is not read here.
std::string uriOf(GObject* message)
{
    GParamSpec* spec = g_object_class_find_property(G_OBJECT_GET_CLASS(message), "uri");
    if (!spec || spec->value_type != G_TYPE_URI)
        return {};
    GUri* uri = nullptr;
    g_object_get(message, "uri", &uri, nullptr);
    if (!uri)
        return {};
    gsthandles::CharPtr text(g_uri_to_string(uri));
    g_uri_unref(uri);
    return text ? text.get() : "";
}

gboolean onMessageStarting(GSignalInvocationHint*, guint count, const GValue* values, gpointer)
{
    if (count < 1 || !G_VALUE_HOLDS_OBJECT(&values[0]))
        return TRUE;
    const void* message = g_value_get_object(&values[0]);
    std::lock_guard lock(g_mutex);
    if (g_watches.empty())
        return TRUE;
    if (g_started.size() >= kMaxInFlight)
        g_started.clear();
    g_started[message] = g_get_monotonic_time();
    return TRUE;
}

gboolean onMessageFinished(GSignalInvocationHint*, guint count, const GValue* values, gpointer)
{
    if (count < 1 || !G_VALUE_HOLDS_OBJECT(&values[0]))
        return TRUE;
    GObject* message = G_OBJECT(g_value_get_object(&values[0]));
    std::int64_t durationUs = 0;
    {
        std::lock_guard lock(g_mutex);
        if (const auto started = g_started.find(message); started != g_started.end()) {
            durationUs = g_get_monotonic_time() - started->second;
            g_started.erase(started);
        }
    }
    // The player's own copy of a manifest, fetched for its splices: not the demuxer's.
    if (g_object_get_data(message, HttpFetch::kOwnRequestKey))
        return TRUE;
    const std::string uri = uriOf(message);
    if (uri.empty())
        return TRUE;
    std::shared_ptr<StreamCounters> target;
    bool countedAtPad = false;
    {
        std::lock_guard lock(g_mutex);
        const std::string authority = authorityOf(uri);
        std::erase_if(g_watches, [](const Watch& watch) { return watch.counters.expired(); });
        for (auto it = g_watches.rbegin(); it != g_watches.rend() && !target; ++it) {
            if (it->authority == authority) {
                target = it->counters.lock();
                countedAtPad = uri == it->manifestUri;
            }
        }
    }
    if (!target)
        return TRUE;
    guint status = 0;
    g_object_get(message, "status-code", &status, nullptr);
    std::uint64_t bytes = 0;
    if (g_responseHeaders && g_contentLength && !countedAtPad) {
        if (gpointer headers = g_responseHeaders(message))
            bytes = static_cast<std::uint64_t>(std::max<gint64>(0, g_contentLength(headers)));
    }
    target->requestFinished(uri, status, gsthandles::stringProperty(message, "reason-phrase"), bytes, durationUs);
    return TRUE; // stay hooked
}

} // namespace

void AdaptiveRequests::watch(const std::string& manifestUri, const std::shared_ptr<StreamCounters>& counters)
{
    std::lock_guard lock(g_mutex);
    if (!g_hooked) {
        const GType type = g_type_from_name("SoupMessage");
        const guint signal = type ? g_signal_lookup("finished", type) : 0;
        if (signal) {
            findContentLength();
            g_signal_add_emission_hook(signal, 0, &onMessageFinished, nullptr, nullptr);
            // A request's start: sent (again, after a redirect) to its server.
            if (const guint starting = g_signal_lookup("starting", type))
                g_signal_add_emission_hook(starting, 0, &onMessageStarting, nullptr, nullptr);
            g_hooked = true;
        }
    }
    std::erase_if(g_watches, [&](const Watch& watch) {
        return watch.counters.expired() || watch.counters.lock() == counters;
    });
    g_watches.push_back({authorityOf(manifestUri), manifestUri, counters});
}

} // namespace zephyrscope
