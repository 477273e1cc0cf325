#include "WhepSdp.h"

#include <cstdlib>
#include <set>
#include <string>

namespace zephyrscope {

namespace {
// Dynamic payload types start at 96; those for repairs are taken from here up.
constexpr int kFirstRepairPayload = 100;
}

void WhepSdp::offerRetransmissionForEveryCodec(GstSDPMessage* sdp)
{
    std::set<int> used;
    for (guint m = 0; m < gst_sdp_message_medias_len(sdp); ++m) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp, m);
        for (guint f = 0; f < gst_sdp_media_formats_len(media); ++f)
            used.insert(std::atoi(gst_sdp_media_get_format(media, f)));
    }
    int next = kFirstRepairPayload;
    for (guint m = 0; m < gst_sdp_message_medias_len(sdp); ++m) {
        auto* media = const_cast<GstSDPMedia*>(gst_sdp_message_get_media(sdp, m));
        if (g_strcmp0(gst_sdp_media_get_media(media), "video") != 0)
            continue;
        std::set<std::string> repaired, nacked;
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
            const std::string value = attribute->value ? attribute->value : "";
            if (g_strcmp0(attribute->key, "fmtp") == 0 && value.find(" apt=") != std::string::npos)
                repaired.insert(value.substr(value.find(" apt=") + 5));
            else if (g_strcmp0(attribute->key, "rtcp-fb") == 0 && value.find(" nack") != std::string::npos)
                nacked.insert(value.substr(0, value.find(' ')));
        }
        for (const std::string& format : nacked) {
            if (repaired.count(format))
                continue;
            while (used.count(next))
                ++next;
            used.insert(next);
            const std::string pt = std::to_string(next);
            gst_sdp_media_add_format(media, pt.c_str());
            gst_sdp_media_add_attribute(media, "rtpmap", (pt + " rtx/90000").c_str());
            gst_sdp_media_add_attribute(media, "fmtp", (pt + " apt=" + format).c_str());
        }
    }
}

int WhepSdp::sendingStreams(const GstSDPMessage* sdp, const char* kind)
{
    int count = 0;
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp, i);
        if (gst_sdp_media_get_port(media) != 0 && (!kind || g_strcmp0(gst_sdp_media_get_media(media), kind) == 0))
            ++count;
    }
    return count;
}

int WhepSdp::candidates(const GstSDPMessage* sdp)
{
    int count = 0;
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp, i);
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a)
            count += g_strcmp0(gst_sdp_media_get_attribute(media, a)->key, "candidate") == 0;
    }
    return count;
}

} // namespace zephyrscope
