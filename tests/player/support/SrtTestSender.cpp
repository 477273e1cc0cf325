#include "SrtTestSender.h"

#include <gst/gst.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <stdexcept>

namespace zephyrscope::testing {

namespace {

constexpr int kFps = 25;

// A UDP port nothing holds right now; srtsink binds it a moment later.
std::uint16_t freeUdpPort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    if (port == 0)
        throw std::runtime_error("Cannot bind socket 'srt sender 127.0.0.1': bind failed");
    return port;
}

} // namespace

struct SrtTestSender::Pipeline {
    GstElement* pipeline = nullptr;
    ~Pipeline()
    {
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        }
    }
};

SrtTestSender::SrtTestSender(double seconds, int latencyMs)
    : m_seconds(seconds)
    , m_latencyMs(latencyMs)
{
}

SrtTestSender::~SrtTestSender() = default;

std::string SrtTestSender::url() const
{
    return "srt://127.0.0.1:" + std::to_string(m_port);
}

void SrtTestSender::start()
{
    gst_init(nullptr, nullptr);
    m_port = freeUdpPort();
    const int frames = static_cast<int>(std::lround(m_seconds * kFps));
    const std::string launch = "videotestsrc is-live=true pattern=snow num-buffers=" + std::to_string(frames)
        + " ! video/x-raw,format=I420,width=320,height=240,framerate=" + std::to_string(kFps)
        + "/1 ! x264enc tune=zerolatency speed-preset=ultrafast bitrate=1000 key-int-max=" + std::to_string(kFps)
        + " ! h264parse ! mpegtsmux alignment=7 ! srtsink name=sink wait-for-connection=true sync=false"
          " uri=\"srt://127.0.0.1:" + std::to_string(m_port) + "?mode=listener&latency="
        + std::to_string(m_latencyMs) + "\"";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
    if (!pipeline) {
        const std::string reason = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("Cannot make pipeline 'srt sender': " + reason);
    }
    g_clear_error(&error);
    m_pipeline = std::make_unique<Pipeline>();
    m_pipeline->pipeline = pipeline;
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        throw std::runtime_error("Cannot start pipeline 'srt sender': state change failed");
}

void SrtTestSender::pause()
{
    if (m_pipeline && m_pipeline->pipeline)
        gst_element_set_state(m_pipeline->pipeline, GST_STATE_PAUSED);
}

void SrtTestSender::stop()
{
    m_pipeline.reset();
}

} // namespace zephyrscope::testing
