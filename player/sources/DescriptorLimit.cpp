#include "DescriptorLimit.h"

#include "Diagnostics.h"
#include "DownloadRefusals.h"

#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <sys/resource.h>

namespace zephyrscope {

namespace {

// Where the messages come from: GStreamer's poll sets, and GLib, GIO and
// libsoup below the sources.
constexpr const char* kDomains[] = {"GStreamer", "GLib", "GLib-GIO", "GLib-Net", "libsoup"};

// A message logged with this many descriptors or fewer left is taken as the
// shortage's, whatever it says.
constexpr int kExhaustedWithin = 2;

bool exhaustedNow()
{
    const long long limit = DescriptorLimit::softLimit();
    return limit > 0 && DescriptorLimit::openCount() + kExhaustedWithin >= limit;
}

void onLog(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer)
{
    // The one handler for these domains also hears libsoup refuse a local file
    // a demuxer asked for (GLib calls only one handler per domain).
    if (DownloadRefusals::isLocalUriRefusal(domain, message)) {
        DownloadRefusals::refuse("a remote manifest may not name local files");
        if (!Diagnostics::verbose())
            return;
    }
    if (DescriptorLimit::isShortageMessage(domain, message) || exhaustedNow()) {
        DescriptorLimit::shortages().hear(message ? message : "");
        // A fatal one ends the process after this handler: name the cause first.
        if (level & (G_LOG_LEVEL_ERROR | G_LOG_FLAG_FATAL))
            std::fprintf(stderr, "zephyrscope: %s\n", DescriptorLimit::reason().c_str());
        else if (!Diagnostics::verbose())
            return;
    }
    g_log_default_handler(domain, level, message, nullptr);
}

} // namespace

void DescriptorLimit::watch()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        const auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING
                                                        | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
        for (const char* domain : kDomains)
            g_log_set_handler(domain, levels, &onLog, nullptr);
    });
}

EventTally::Channel& DescriptorLimit::shortages()
{
    // Never destroyed: GLib's handlers may still log while the process exits.
    static auto& channel = *new EventTally::Channel;
    return channel;
}

std::optional<std::string> DescriptorLimit::shortOf(int headroom)
{
    const long long limit = softLimit();
    if (limit > 0 && openCount() + headroom > limit)
        return reason();
    return std::nullopt;
}

std::string DescriptorLimit::reason()
{
    return "file descriptors ran out (limit " + std::to_string(softLimit()) + ")";
}

bool DescriptorLimit::isShortageMessage(const char* domain, const char* message)
{
    if (!message)
        return false;
    // strerror(EMFILE) and strerror(ENFILE), as GLib and GIO quote them.
    if (std::strstr(message, std::strerror(EMFILE)) || std::strstr(message, std::strerror(ENFILE)))
        return true;
    // gst_poll_new() fails only when it gets no descriptors; every use of the
    // missing set then fails this assertion.
    return domain && std::strcmp(domain, "GStreamer") == 0 && std::strstr(message, "gst_poll_")
        && std::strstr(message, "'set != NULL'");
}

int DescriptorLimit::openCount()
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) {
        // Not even one more for the listing: that is the answer.
        return errno == EMFILE || errno == ENFILE ? static_cast<int>(softLimit()) : 0;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count > 0 ? count - 1 : 0; // the listing's own descriptor
}

long long DescriptorLimit::softLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return static_cast<long long>(limit.rlim_cur);
}

} // namespace zephyrscope
