#include "DownloadGuard.h"

#include "GstHandles.h"

#include <atomic>
#include <string_view>
#include <memory>
#include <mutex>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr std::string_view kFileScheme = "file:";

struct Watch {
    DownloadGuard::Limits limits;
    std::atomic<std::uint64_t> seen {0};
    std::atomic<bool> failed {false};
    std::mutex tailMutex;
    std::string tail; // the end of the last buffer: a URI may span two
};

void failStream(GstPad* pad, const std::string& text)
{
    const ObjectPtr element {gst_pad_get_parent(pad)};
    if (!element)
        return;
    // Not GST_STREAM_ERROR_FAILED: that one is taken for a connection that failed unexplained.
    const ErrorPtr error {g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT, text.c_str())};
    gst_element_post_message(GST_ELEMENT(element.get()), gst_message_new_error(element.get(), error.get(), nullptr));
}

GstPadProbeReturn onData(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    auto* watch = static_cast<Watch*>(data);
    if (watch->failed.load())
        return GST_PAD_PROBE_DROP;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    const std::uint64_t bytes = buffer ? gst_buffer_get_size(buffer) : 0;
    std::string problem;
    if (watch->seen.fetch_add(bytes) + bytes > watch->limits.maxBytes) {
        problem = watch->limits.what + " is larger than " + std::to_string(watch->limits.maxBytes >> 20)
            + " MiB once decompressed: not read further";
    } else if (watch->limits.noLocalFiles && buffer) {
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            std::lock_guard lock(watch->tailMutex);
            std::string text = watch->tail;
            text.append(reinterpret_cast<const char*>(map.data), map.size);
            gst_buffer_unmap(buffer, &map);
            problem = DownloadGuard::localFileIn(text);
            watch->tail = text.substr(text.size() > 256 ? text.size() - 256 : 0);
        }
    }
    if (problem.empty())
        return GST_PAD_PROBE_OK;
    watch->failed.store(true);
    failStream(pad, problem);
    return GST_PAD_PROBE_DROP;
}

} // namespace

void DownloadGuard::watch(GstElement* element, const char* padName, Limits limits)
{
    const PadPtr pad(gst_element_get_static_pad(element, padName));
    if (!pad)
        return;
    // The probe owns its state: the pad frees it when the probe goes.
    auto state = std::make_unique<Watch>();
    state->limits = std::move(limits);
    gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, &onData, state.release(),
                      [](gpointer data) { delete static_cast<Watch*>(data); });
}

std::string DownloadGuard::localFileIn(const std::string& text)
{
    // "file:" where a URI starts (a line, an attribute, an element's text), in any case.
    for (std::size_t at = 0; at + kFileScheme.size() <= text.size(); ++at) {
        if (g_ascii_strncasecmp(text.c_str() + at, kFileScheme.data(), kFileScheme.size()) != 0)
            continue;
        if (at > 0 && std::string_view(" \t\r\n\"'>=,(").find(text[at - 1]) == std::string_view::npos)
            continue;
        const std::size_t end = text.find_first_of(" \t\r\n\"'<>", at);
        return "a remote manifest may not name local files ('"
            + text.substr(at, end == std::string::npos ? std::string::npos : end - at) + "')";
    }
    return {};
}

std::optional<std::string> DownloadGuard::redirectLoop(const char* details)
{
    // souphttpsrc: "Found (302), URL: http://h/loop, Redirect to: http://h/loop"
    // once libsoup stops following redirects (after 20 of them).
    if (!details)
        return std::nullopt;
    const std::string text = details;
    const std::string kRedirect = "Redirect to: ";
    const auto at = text.rfind(kRedirect);
    if (at == std::string::npos)
        return std::nullopt;
    const auto lineStart = text.rfind('\n', at);
    const std::string line = text.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
    const std::string status = line.substr(0, line.find(", URL: "));
    std::string target = text.substr(at + kRedirect.size());
    target = target.substr(0, target.find('\n'));
    // Every failed status has the "Redirect to:" part, "(NULL)" when it was no redirect.
    const auto code = status.rfind(" (3");
    if (code == std::string::npos || target.empty() || target == "(NULL)")
        return std::nullopt;
    return "redirect loop: the server kept redirecting (" + status + ", last to '" + target + "')";
}

} // namespace zephyrscope
