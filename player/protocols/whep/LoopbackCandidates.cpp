#include "LoopbackCandidates.h"

#include "GLibHandles.h"

#include <gio/gio.h>
#include <gst/gst.h>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace zephyrscope {

using namespace gsthandles;

namespace {

struct FreeAddresses {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

bool isLinkLocal6(const sockaddr* address)
{
    if (address->sa_family != AF_INET6)
        return false;
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    return IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr);
}

// The addresses libnice would gather from (interfaces up and running, IPv4 and
// IPv6), then the loopback ones. IPv6 link-local addresses are left out: no
// endpoint reached through loopback answers from one.
std::vector<std::string> localAddresses()
{
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0)
        return {};
    const std::unique_ptr<ifaddrs, FreeAddresses> list(raw);
    std::vector<std::string> others, loopbacks;
    for (const ifaddrs* entry = raw; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_RUNNING) == 0)
            continue;
        const int family = entry->ifa_addr->sa_family;
        if ((family != AF_INET && family != AF_INET6) || isLinkLocal6(entry->ifa_addr))
            continue;
        char text[NI_MAXHOST];
        const socklen_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (getnameinfo(entry->ifa_addr, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        auto& into = (entry->ifa_flags & IFF_LOOPBACK) ? loopbacks : others;
        if (std::find(into.begin(), into.end(), text) == into.end())
            into.emplace_back(text);
    }
    others.insert(others.end(), loopbacks.begin(), loopbacks.end());
    return others;
}

} // namespace

bool LoopbackCandidates::isLoopbackEndpoint(const std::string& endpoint, GCancellable* cancellable)
{
    const UriPtr uri(g_uri_parse(endpoint.c_str(), G_URI_FLAGS_NONE, nullptr));
    const char* host = uri ? g_uri_get_host(uri.get()) : nullptr;
    if (!host || !*host)
        return false;
    if (const GObjectPtr<GInetAddress> address {g_inet_address_new_from_string(host)})
        return g_inet_address_get_is_loopback(address.get());
    const GObjectPtr<GResolver> resolver(g_resolver_get_default());
    GList* resolved = g_resolver_lookup_by_name(resolver.get(), host, cancellable, nullptr);
    bool loopback = false;
    for (GList* item = resolved; item; item = item->next)
        loopback = loopback || g_inet_address_get_is_loopback(G_INET_ADDRESS(item->data));
    g_resolver_free_addresses(resolved);
    return loopback;
}

int LoopbackCandidates::addTo(GstElement* webrtc)
{
    if (!g_object_class_find_property(G_OBJECT_GET_CLASS(webrtc), "ice-agent")) {
        g_printerr("Player: Cannot add loopback ICE candidates: webrtcbin has no ice-agent\n");
        return 0;
    }
    GObject* raw = nullptr;
    g_object_get(webrtc, "ice-agent", &raw, nullptr);
    const GObjectPtr<GObject> agent(raw);
    if (!agent)
        return 0;
    int added = 0;
    for (const std::string& address : localAddresses()) {
        gboolean taken = FALSE;
        g_signal_emit_by_name(agent.get(), "add-local-ip-address", address.c_str(), &taken);
        if (taken)
            ++added;
        else
            g_printerr("Player: Cannot add ICE candidate address '%s': the ICE agent refused it\n", address.c_str());
    }
    return added;
}

} // namespace zephyrscope
