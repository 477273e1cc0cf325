#include "RtspTestServer.h"

#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace zephyrscope::tools {

struct RtspTestServerProbe {
    static gboolean filterListItem(GstBuffer** buffer, guint, gpointer self)
    {
        if (static_cast<RtspTestServer*>(self)->countAndDecideDrop(*buffer)) {
            gst_buffer_unref(*buffer);
            *buffer = nullptr; // removes it from the list
        }
        return TRUE;
    }

    // Streaming thread of the payloader: counts packets and drops the chosen ones.
    static GstPadProbeReturn onPayloaderOutput(GstPad*, GstPadProbeInfo* info, gpointer self)
    {
        auto* server = static_cast<RtspTestServer*>(self);
        if (info->type & GST_PAD_PROBE_TYPE_BUFFER)
            return server->countAndDecideDrop(GST_PAD_PROBE_INFO_BUFFER(info)) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
        if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
            GstBufferList* list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
            GST_PAD_PROBE_INFO_DATA(info) = list;
            gst_buffer_list_foreach(list, &RtspTestServerProbe::filterListItem, self);
            if (gst_buffer_list_length(list) == 0)
                return GST_PAD_PROBE_DROP;
        }
        return GST_PAD_PROBE_OK;
    }
};

RtspTestServer::RtspTestServer(Options options)
    : m_options(std::move(options))
    , m_loss(m_options.loss)
    , m_outage(m_options.outage)
{
}

RtspTestServer::~RtspTestServer()
{
    m_relays.clear();
    if (m_sourceId)
        g_source_remove(m_sourceId);
    if (m_server)
        g_object_unref(m_server);
}

bool RtspTestServer::countAndDecideDrop(GstBuffer* buffer)
{
    const std::uint64_t number = m_sent.fetch_add(1) + 1;
    bool drop = m_options.dropEvery > 0 && number % static_cast<std::uint64_t>(m_options.dropEvery) == 0;
    {
        std::lock_guard lock(m_impairMutex);
        const std::int64_t nowUs = g_get_monotonic_time();
        if (!drop) {
            if (m_firstPacketUs == 0)
                m_firstPacketUs = nowUs;
            const bool swallowed = m_outage.swallows(nowUs - m_firstPacketUs);
            m_swallowedSinceSent = m_swallowedSinceSent || swallowed;
            drop = swallowed || m_loss.drops();
        }
        if (!drop) {
            if (m_swallowedSinceSent && m_lastSentUs > 0)
                m_gap = {m_lastSentUs, nowUs};
            m_swallowedSinceSent = false;
            m_lastSentUs = nowUs;
        }
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            m_frameDamage.packet(map.data, map.size, drop, nowUs);
            gst_buffer_unmap(buffer, &map);
        }
    }
    if (drop) {
        m_dropped.fetch_add(1);
        m_trailingDropped.fetch_add(1);
        return true;
    }
    m_trailingDropped.store(0);
    return false;
}

RtspTestServer::DataGap RtspTestServer::dataGap() const
{
    std::lock_guard lock(m_impairMutex);
    return m_gap;
}

RtpH264FrameDamage RtspTestServer::frameDamage() const
{
    std::lock_guard lock(m_impairMutex);
    return m_frameDamage;
}

bool RtspTestServer::pictureNamed(const std::string& name, Picture& picture)
{
    if (name == "ball")
        picture = Picture::Ball;
    else if (name == "grey-ball")
        picture = Picture::GreyBall;
    else if (name == "bars")
        picture = Picture::Bars;
    else if (name == "snow")
        picture = Picture::Snow;
    else
        return false;
    return true;
}

std::string RtspTestServer::launchLine() const
{
    // Parameter sets travel in the SDP only: repeated in-band before every key
    // frame, they make playbin3 (1.22) render one extra picture per key frame.
    const std::string payloader = " ! rtph264pay name=pay0 pt=96 config-interval=0 mtu=1200 ";
    if (!m_options.file.empty())
        return "( filesrc location=\"" + m_options.file + "\" ! matroskademux ! h264parse ! queue" + payloader + ")";
    const int frames = static_cast<int>(m_options.seconds * m_options.fps + 0.5);
    std::string pattern = "pattern=ball";
    if (m_options.picture == Picture::GreyBall)
        // Circling, a turn a second: the wavy path slows down enough at its turns
        // that against grey the picture changes by less than a freeze's noise level.
        pattern += " motion=sweep background-color=0xff808080"; // big-endian ARGB
    else if (m_options.picture == Picture::Bars)
        pattern = "pattern=smpte75 horizontal-speed=4";
    else if (m_options.picture == Picture::Snow)
        pattern = "pattern=snow";
    return "( videotestsrc is-live=true " + pattern + " num-buffers=" + std::to_string(frames)
        + " ! video/x-raw,width=" + std::to_string(m_options.width) + ",height=" + std::to_string(m_options.height)
        + ",framerate=" + std::to_string(m_options.fps) + "/1 ! x264enc speed-preset=ultrafast tune=zerolatency key-int-max="
        + std::to_string(m_options.fps) + " bitrate=" + std::to_string(m_options.bitrateKbps) + payloader + ")";
}

void RtspTestServer::onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, void* self)
{
    GstElement* element = gst_rtsp_media_get_element(media);
    if (!element)
        return;
    if (GstElement* payloader = gst_bin_get_by_name(GST_BIN(element), "pay0")) {
        if (GstPad* pad = gst_element_get_static_pad(payloader, "src")) {
            gst_pad_add_probe(pad,
                              static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                              &RtspTestServerProbe::onPayloaderOutput, self, nullptr);
            gst_object_unref(pad);
        }
        gst_object_unref(payloader);
    }
    gst_object_unref(element);
}

void RtspTestServer::onClientConnected(GstRTSPServer*, GstRTSPClient* client, void* self)
{
    g_signal_connect(client, "setup-request", G_CALLBACK(&RtspTestServer::onSetupRequest), self);
}

// After the SETUP reply went out, and before a PLAY adds the transport to the
// stream's UDP sinks: the sinks then send to the relay's ports instead.
void RtspTestServer::onSetupRequest(GstRTSPClient*, GstRTSPContext* context, void* self)
{
    auto* server = static_cast<RtspTestServer*>(self);
    if (!context->trans)
        return;
    const GstRTSPTransport* transport = gst_rtsp_stream_transport_get_transport(context->trans);
    if (!transport || transport->lower_transport != GST_RTSP_LOWER_TRANS_UDP || !transport->destination)
        return;
    RtpSessionRelay::Options options;
    options.receiverHost = transport->destination;
    options.receiverRtpPort = static_cast<std::uint16_t>(transport->client_port.min);
    options.receiverRtcpPort = static_cast<std::uint16_t>(transport->client_port.max);
    options.impairment = server->m_options.hold;
    options.maxLifetime = std::chrono::seconds(300);
    std::unique_ptr<RtpSessionRelay> relay;
    try {
        relay = std::make_unique<RtpSessionRelay>(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Cannot hold the session to '%s:%d': %s\n", transport->destination,
                     transport->client_port.min, e.what());
        return;
    }
    // as_text only reads the transport; 1.22 declares it non-const.
    gchar* text = gst_rtsp_transport_as_text(const_cast<GstRTSPTransport*>(transport));
    GstRTSPTransport* held = nullptr;
    gst_rtsp_transport_new(&held);
    const bool parsed = text && gst_rtsp_transport_parse(text, held) == GST_RTSP_OK;
    g_free(text);
    if (!parsed) {
        gst_rtsp_transport_free(held);
        std::fprintf(stderr, "Cannot hold the session to '%s:%d': its transport does not read back\n",
                     transport->destination, transport->client_port.min);
        return;
    }
    held->client_port.min = relay->port();
    held->client_port.max = relay->rtcpPort();
    gst_rtsp_stream_transport_set_transport(context->trans, held); // takes it, frees the client's
    server->m_relays.push_back(std::move(relay));
}

RtpSessionRelay::Counts RtspTestServer::relayCounts() const
{
    RtpSessionRelay::Counts sum;
    bool anyForwarded = false;
    for (const auto& relay : m_relays) {
        const RtpSessionRelay::Counts c = relay->counts();
        if (c.forwarded > 0) {
            sum.leastHoldUs = anyForwarded ? std::min(sum.leastHoldUs, c.leastHoldUs) : c.leastHoldUs;
            anyForwarded = true;
        }
        sum.rtpIn += c.rtpIn;
        sum.videoFrames += c.videoFrames;
        sum.keyFrames += c.keyFrames;
        sum.framesDamageBound += c.framesDamageBound;
        sum.framesDamagedWhole += c.framesDamagedWhole;
        sum.forwarded += c.forwarded;
        sum.dropped += c.dropped;
        sum.trailingDrops += c.trailingDrops;
        sum.neverForwarded += c.neverForwarded;
        sum.lastFramePackets = std::max(sum.lastFramePackets, c.lastFramePackets);
        sum.rtcpToReceiver += c.rtcpToReceiver;
        sum.rtcpToSender += c.rtcpToSender;
        sum.mostHoldUs = std::max(sum.mostHoldUs, c.mostHoldUs);
        sum.totalHoldUs += c.totalHoldUs;
        sum.impaired.seen += c.impaired.seen;
        sum.impaired.lost += c.impaired.lost;
        sum.impaired.swallowed += c.impaired.swallowed;
        sum.impaired.capped += c.impaired.capped;
        sum.impaired.held += c.impaired.held;
        sum.impaired.delayed += c.impaired.delayed;
        sum.impaired.reordered += c.impaired.reordered;
    }
    return sum;
}

int RtspTestServer::start()
{
    m_server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(m_server, "127.0.0.1");
    gst_rtsp_server_set_service(m_server, std::to_string(m_options.port).c_str());

    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launchLine().c_str());
    gst_rtsp_media_factory_set_shared(factory, FALSE);
    gst_rtsp_media_factory_set_protocols(
        factory, static_cast<GstRTSPLowerTrans>(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_TCP));
    g_signal_connect(factory, "media-configure", G_CALLBACK(&RtspTestServer::onMediaConfigure), this);

    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(m_server);
    gst_rtsp_mount_points_add_factory(mounts, m_options.mount.c_str(), factory); // takes the factory
    g_object_unref(mounts);

    if (m_options.holds())
        g_signal_connect(m_server, "client-connected", G_CALLBACK(&RtspTestServer::onClientConnected), this);

    m_sourceId = gst_rtsp_server_attach(m_server, nullptr);
    if (m_sourceId == 0)
        return 0;
    return gst_rtsp_server_get_bound_port(m_server);
}

} // namespace zephyrscope::tools
