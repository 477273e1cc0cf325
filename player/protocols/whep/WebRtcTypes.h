#pragma once

// The few types of GStreamer's WebRTC library that driving webrtcbin needs,
// reached at run time by name: the program neither includes that library's
// headers nor links it (its development package drags in half a desktop), so
// webrtcbin is driven through GObject signals and properties alone.
//   - Enums (ICE states, SDP types, transceiver directions) by their nicks, from
//     the GTypes webrtcbin registers once it is made; the SDP type, which it
//     never registers, through its get_type symbol (see WebRtcTypes.cpp).
//   - GstWebRTCSessionDescription, a boxed type, by its two public fields (see
//     WebRtcTypes.cpp), checked against each description webrtcbin makes.

#include <gst/gst.h>
#include <gst/sdp/sdp.h>

#include <memory>
#include <optional>
#include <string>

namespace zephyrscope {

class WebRtcTypes {
public:
    // The nick ("connected") of an enum property's current value; empty when
    // the property is missing or no enum.
    static std::string enumNick(GObject* object, const char* property);
    // The value of nick in the enum type typeName; empty when either is unknown.
    static std::optional<gint> enumValue(const char* typeName, const char* nick);

    // An owned session description (a GstWebRTCSessionDescription), freed as its boxed type says.
    class Description {
    public:
        Description() = default;

        // A copy of the description in value, when it holds one of type typeNick ("offer").
        static Description copyOf(const GValue* value, const char* typeNick);
        // A description of webrtcbin's property (e.g. "local-description") of type typeNick.
        static Description ofProperty(GObject* object, const char* property, const char* typeNick);

        explicit operator bool() const { return m_boxed != nullptr; }
        // What the signals that take a description are given.
        gpointer get() const { return m_boxed.get(); }
        GstSDPMessage* sdp() const;
        // This description with its type made typeNick and its SDP replaced by sdp
        // (taken); false, with sdp freed, when the type is unknown.
        bool become(const char* typeNick, GstSDPMessage* sdp);

    private:
        struct BoxedFree {
            GType type; // value-initialised: G_TYPE_INVALID
            void operator()(gpointer boxed) const { g_boxed_free(type, boxed); }
        };
        Description(GType type, gpointer boxed);
        std::unique_ptr<void, BoxedFree> m_boxed;
    };
};

} // namespace zephyrscope
