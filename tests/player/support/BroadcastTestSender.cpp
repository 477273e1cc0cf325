#include "BroadcastTestSender.h"

#include <gst/gst.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zephyrscope::testing {

namespace {

constexpr int kFps = BroadcastTestSender::kFramesPerSecond;
constexpr int kPortAttempts = 50;
// ristsender outlives its stream by this much at most, should nobody end it.
constexpr int kRistSenderGraceS = 30;
constexpr auto kRistSenderStartTimeout = std::chrono::seconds(10);

// Binds 127.0.0.1:port (0: any), or every address's port; the socket, or -1.
int bindUdp(std::uint16_t port, in_addr_t host = INADDR_LOOPBACK)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

} // namespace

struct BroadcastTestSender::Pipeline {
    GstElement* pipeline = nullptr;
    ~Pipeline()
    {
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        }
    }
};

BroadcastTestSender::BroadcastTestSender(Transport transport, std::string host, std::uint16_t port, double seconds,
                                         int keyFrameInterval)
    : m_transport(transport)
    , m_host(std::move(host))
    , m_port(port)
    , m_seconds(seconds)
    , m_keyFrameInterval(keyFrameInterval)
{
}

BroadcastTestSender::~BroadcastTestSender()
{
    m_pipeline.reset();
    if (m_ristSender > 0) {
        kill(m_ristSender, SIGTERM);
        waitpid(m_ristSender, nullptr, 0);
    }
}

namespace {

// Starts a sender process under `timeout`, ended by it after lifetimeS; its process id.
int startProcess(std::vector<std::string> arguments, int lifetimeS)
{
    arguments.insert(arguments.begin(), {"timeout", std::to_string(lifetimeS)});
    std::vector<gchar*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    GPid pid = 0;
    GError* error = nullptr;
    const bool started = g_spawn_async(nullptr, argv.data(), nullptr,
                                       static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD
                                                                | G_SPAWN_STDOUT_TO_DEV_NULL),
                                       nullptr, nullptr, &pid, &error);
    const std::string reason = error ? error->message : "unknown";
    g_clear_error(&error);
    if (!started)
        throw std::runtime_error("Cannot start program '" + arguments[2] + "': " + reason);
    return pid;
}

// librist's ristsender from 127.0.0.1:input (raw UDP) to rist://host:port, simple profile.
int startRistSender(std::uint16_t input, const std::string& host, std::uint16_t port, int lifetimeS)
{
    return startProcess({"ristsender", "-p", "0", "-S", "0", "-v", "3", "-i", "udp://127.0.0.1:" + std::to_string(input),
                         "-o", "rist://" + host + ":" + std::to_string(port)},
                        lifetimeS);
}

// ffmpeg's RIST output (librist inside, simple profile), paced in real time, of
// the same kind of stream: 320x240 at 25 fps, H.264 at about 1 Mbit/s.
int startFfmpegRist(const std::string& host, std::uint16_t port, double seconds, int keyFrameInterval, int lifetimeS)
{
    return startProcess({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-f", "lavfi", "-i",
                         "testsrc2=size=320x240:rate=25", "-t", std::to_string(seconds), "-c:v", "libx264",
                         "-preset", "ultrafast", "-tune", "zerolatency", "-b:v", "1M", "-g",
                         std::to_string(keyFrameInterval), "-rist_profile", "simple", "-f", "mpegts",
                         "rist://" + host + ":" + std::to_string(port)},
                        lifetimeS);
}

} // namespace

std::uint16_t BroadcastTestSender::freePortPair()
{
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        const int probe = bindUdp(0);
        sockaddr_in bound {};
        socklen_t length = sizeof bound;
        getsockname(probe, reinterpret_cast<sockaddr*>(&bound), &length);
        close(probe);
        const auto port = static_cast<std::uint16_t>(ntohs(bound.sin_port) & ~1u);
        const int first = bindUdp(port);
        const int second = first >= 0 ? bindUdp(static_cast<std::uint16_t>(port + 1)) : -1;
        if (first >= 0)
            close(first);
        if (second >= 0) {
            close(second);
            return port;
        }
    }
    throw std::runtime_error("Cannot bind socket '127.0.0.1': no free port pair");
}

bool BroadcastTestSender::portTaken(std::uint16_t port)
{
    const int fd = bindUdp(port, INADDR_ANY);
    if (fd >= 0)
        close(fd);
    return fd < 0;
}

void BroadcastTestSender::start()
{
    gst_init(nullptr, nullptr);
    const int frames = static_cast<int>(std::lround(m_seconds * kFps));
    std::string launch = "videotestsrc is-live=true pattern=snow num-buffers=" + std::to_string(frames)
        + " ! video/x-raw,format=I420,width=320,height=240,framerate=" + std::to_string(kFps)
        + "/1 ! x264enc tune=zerolatency speed-preset=ultrafast bitrate=1000 key-int-max=" + std::to_string(m_keyFrameInterval)
        + " ! h264parse ! mpegtsmux alignment=7 ! ";
    std::string port = std::to_string(m_port);
    if (m_transport == Transport::FfmpegRist) {
        m_ristSender = startFfmpegRist(m_host, m_port, m_seconds, m_keyFrameInterval,
                                       static_cast<int>(m_seconds) + kRistSenderGraceS);
        return;
    }
    if (m_transport == Transport::LibRist) {
        const std::uint16_t input = freePortPair();
        m_ristSender = startRistSender(input, m_host, m_port, static_cast<int>(m_seconds) + kRistSenderGraceS);
        // What is sent before ristsender listens, it cannot pass on.
        const auto deadline = std::chrono::steady_clock::now() + kRistSenderStartTimeout;
        while (!portTaken(input) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!portTaken(input))
            throw std::runtime_error("Cannot start program 'ristsender': it does not listen on port "
                                     + std::to_string(input));
        port = std::to_string(input);
    }
    switch (m_transport) {
    case Transport::Udp:
        launch += "udpsink host=" + m_host + " port=" + port;
        break;
    case Transport::LibRist:
    case Transport::FfmpegRist:
        launch += "udpsink host=127.0.0.1 port=" + port;
        break;
    case Transport::Rtp:
        launch += "rtpmp2tpay ! udpsink host=" + m_host + " port=" + port;
        break;
    case Transport::Rist:
        launch += "rtpmp2tpay ! ristsink address=" + m_host + " port=" + port;
        break;
    }
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
    if (!pipeline) {
        const std::string reason = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("Cannot make pipeline 'broadcast sender': " + reason);
    }
    g_clear_error(&error);
    m_pipeline = std::make_unique<Pipeline>();
    m_pipeline->pipeline = pipeline;
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        throw std::runtime_error("Cannot start pipeline 'broadcast sender': state change failed");
}

void BroadcastTestSender::pause()
{
    if (m_pipeline && m_pipeline->pipeline)
        gst_element_set_state(m_pipeline->pipeline, GST_STATE_PAUSED);
}

} // namespace zephyrscope::testing
