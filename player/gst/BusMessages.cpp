#include "BusMessages.h"

#include "Diagnostics.h"
#include "DownloadGuard.h"
#include "GstHandles.h"

#include <gst/pbutils/missing-plugins.h>

namespace zephyrscope {

using namespace gsthandles;

namespace {

// The last line of a message's debug details: where an element says what went wrong.
std::string lastLine(const gchar* details)
{
    if (!details)
        return {};
    const std::string text = details;
    const auto newline = text.find_last_of('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

std::string sourcePath(GstMessage* message)
{
    CharPtr path(gst_object_get_path_string(GST_MESSAGE_SRC(message)));
    return path ? path.get() : "";
}

} // namespace

BusMessages::Error BusMessages::error(GstMessage* message, bool nothingReceived)
{
    GError* raw = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &raw, &debug);
    ErrorPtr error(raw);
    CharPtr details(debug);
    Error result;
    result.reason = error && error->message ? error->message : "unknown error";
    // The one line per failure is the program's; GStreamer's source file and
    // line and the element's path only when asked for.
    if (details && Diagnostics::verbose())
        g_printerr("Player: %s\n%s\n", result.reason.c_str(), details.get());
    // Some sources (souphttpsrc with libsoup 3 among them) fail a connection with
    // only the generic flow error; say what the counters know.
    const bool flowError = error && g_error_matches(error.get(), GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED);
    if (flowError) {
        if (const std::string last = lastLine(details.get()); !last.empty())
            result.reason += " (" + last + ")";
        if (nothingReceived)
            result.reason += ": nothing was received from the source";
    }
    result.vague = vague(error.get());
    if (auto loop = DownloadGuard::redirectLoop(details.get())) {
        result.reason = std::move(*loop);
        result.vague = false;
    }
    return result;
}

bool BusMessages::vague(const GError* error)
{
    return error
        && (g_error_matches(error, GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED)
            || g_error_matches(error, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ_WRITE));
}

std::optional<std::string> BusMessages::sourceLost(GstMessage* message)
{
    GError* raw = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_warning(message, &raw, &debug);
    ErrorPtr warning(raw);
    CharPtr details(debug);
    if (!warning || !g_error_matches(warning.get(), GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ))
        return std::nullopt;
    std::string reason = warning->message;
    if (const std::string last = lastLine(details.get()); !last.empty())
        reason += " (" + last + ")";
    return reason;
}

std::optional<BusMessages::Dropped> BusMessages::framesDropped(GstMessage* message)
{
    GstFormat format = GST_FORMAT_UNDEFINED;
    guint64 processed = 0, dropped = 0;
    gst_message_parse_qos_stats(message, &format, &processed, &dropped);
    // Video elements count in buffers (frames); audio ones in samples, which are not frames.
    if (format != GST_FORMAT_BUFFERS || dropped == static_cast<guint64>(-1))
        return std::nullopt;
    return Dropped {sourcePath(message), dropped};
}

BusMessages::Tags BusMessages::tags(GstMessage* message)
{
    Tags result;
    GstTagList* raw = nullptr;
    gst_message_parse_tag(message, &raw);
    if (!raw)
        return result;
    const TagListPtr tags(raw);
    gchar* title = nullptr;
    if (gst_tag_list_get_string(tags.get(), GST_TAG_TITLE, &title)) {
        CharPtr owned(title);
        if (title)
            result.title = title;
    }
    guint bitrate = 0;
    if (gst_tag_list_get_uint(tags.get(), GST_TAG_BITRATE, &bitrate)
        || gst_tag_list_get_uint(tags.get(), GST_TAG_NOMINAL_BITRATE, &bitrate)) {
        result.bitrate = bitrate;
        result.element = sourcePath(message);
    }
    return result;
}

bool BusMessages::videoSelected(GstMessage* message)
{
    bool video = false;
    const guint count = gst_message_streams_selected_get_size(message);
    for (guint i = 0; i < count; ++i) {
        const StreamPtr stream {gst_message_streams_selected_get_stream(message, i)};
        if (stream && (gst_stream_get_stream_type(stream.get()) & GST_STREAM_TYPE_VIDEO))
            video = true;
    }
    return video;
}

std::optional<BusMessages::AdaptiveStatistics> BusMessages::adaptiveStatistics(GstMessage* message)
{
    const GstStructure* structure = gst_message_get_structure(message);
    if (!structure || !gst_structure_has_name(structure, "adaptive-streaming-statistics"))
        return std::nullopt;
    AdaptiveStatistics statistics;
    if (const gchar* uri = gst_structure_get_string(structure, "manifest-uri"))
        statistics.manifestUri = uri;
    statistics.manifestDownloaded = gst_structure_has_field(structure, "manifest-download-stop");
    gint bitrate = 0;
    if (gst_structure_get_int(structure, "bitrate", &bitrate))
        statistics.bitrate = bitrate;
    return statistics;
}

std::string BusMessages::missingPlugin(GstMessage* message)
{
    if (!gst_is_missing_plugin_message(message))
        return {};
    CharPtr description(gst_missing_plugin_message_get_description(message));
    return description ? description.get() : "";
}

} // namespace zephyrscope
