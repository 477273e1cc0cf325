#include "SinkFactory.h"

#include "FactoryName.h"

#include <gst/video/videooverlay.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace zephyrscope {

using namespace gsthandles;

namespace {

// Whether the machine has a sound server or a sound card to probe at all. Probing
// autoaudiosink where there is neither makes ALSA print a page of errors.
bool soundOutputMayExist()
{
    if (g_getenv("PULSE_SERVER"))
        return true;
    if (const char* runtime = g_getenv("XDG_RUNTIME_DIR")) {
        for (const char* socket : {"pulse/native", "pipewire-0"}) {
            CharPtr path(g_build_filename(runtime, socket, nullptr));
            if (g_file_test(path.get(), G_FILE_TEST_EXISTS))
                return true;
        }
    }
    std::ifstream cards("/proc/asound/cards");
    std::string first;
    return std::getline(cards, first) && !first.empty() && first.find("no soundcards") == std::string::npos;
}

constexpr gint64 kMaxLatenessNs = 20 * GST_MSECOND; // fake sink drops frames later than this

bool x11DisplayPresent()
{
    const char* display = std::getenv("DISPLAY");
    return display && *display;
}

} // namespace

ElementPtr SinkFactory::makeVideoSink(std::uintptr_t window)
{
    if (window != 0 && x11DisplayPresent() && m_choice != Choice::FakeOnly) {
        if (GstElement* sink = gst_element_factory_make("ximagesink", nullptr)) {
            ElementPtr owned(GST_ELEMENT(gst_object_ref_sink(sink)));
            g_object_set(sink, "force-aspect-ratio", TRUE, "qos", TRUE, nullptr);
            gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(sink), static_cast<guintptr>(window));
            // READY opens the display: a display that cannot be opened falls back to the fake sink.
            if (gst_element_set_state(sink, GST_STATE_READY) == GST_STATE_CHANGE_SUCCESS)
                return owned;
            gst_element_set_state(sink, GST_STATE_NULL);
        }
    }
    // Without a window the frames still pass through a synced sink, so timing,
    // dropping and frame counts stay those of real playback.
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    if (!sink)
        return nullptr;
    g_object_set(sink, "sync", TRUE, "qos", TRUE, "max-lateness", kMaxLatenessNs, "enable-last-sample", FALSE, nullptr);
    return ElementPtr(GST_ELEMENT(gst_object_ref_sink(sink)));
}

ElementPtr SinkFactory::makeAudioSink()
{
    if (m_choice != Choice::FakeOnly && audioDeviceAvailable()) {
        if (GstElement* sink = gst_element_factory_make("autoaudiosink", nullptr))
            return ElementPtr(GST_ELEMENT(gst_object_ref_sink(sink)));
    }
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    if (!sink)
        return nullptr;
    g_object_set(sink, "sync", TRUE, "enable-last-sample", FALSE, nullptr);
    return ElementPtr(GST_ELEMENT(gst_object_ref_sink(sink)));
}

ElementPtr SinkFactory::makeStreamSink()
{
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    if (!sink)
        return nullptr;
    g_object_set(sink, "sync", TRUE, "qos", FALSE, "max-lateness", static_cast<gint64>(-1), "enable-last-sample",
                 FALSE, nullptr);
    return ElementPtr(GST_ELEMENT(gst_object_ref_sink(sink)));
}

bool SinkFactory::audioDeviceAvailable()
{
    if (m_audioDevice)
        return *m_audioDevice;
    // autoaudiosink opens the first device that works and falls back to a fake
    // sink when none does; only a real device counts.
    bool available = false;
    GstElement* probe = soundOutputMayExist() ? gst_element_factory_make("autoaudiosink", nullptr) : nullptr;
    if (probe) {
        ElementPtr owned(GST_ELEMENT(gst_object_ref_sink(probe)));
        if (gst_element_set_state(probe, GST_STATE_READY) == GST_STATE_CHANGE_SUCCESS && GST_IS_BIN(probe)) {
            forEachObject<GstElement>(gst_bin_iterate_elements(GST_BIN(probe)), [&](GstElement* child) {
                const std::string factory = factoryName(child);
                if (factory != "fakesink" && factory != "fakeaudiosink")
                    available = true;
            });
        }
        gst_element_set_state(probe, GST_STATE_NULL);
    }
    m_audioDevice = available;
    return available;
}

} // namespace zephyrscope
