#pragma once

// What one entry's bus messages mean for the entry: each message becomes the
// step its playback takes next (advance, end, fail...), and what the bus has
// said so far (a title, a missing plugin, the queue's fill, the streams chosen)
// is kept here for the playback to read. The figures a message carries go
// straight to the entry's measurement. Private to player/.
//
// Thread: the default GMainContext's, as for the playback that owns it.

#include <gst/gst.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace zephyrscope {

class EntryMeasurement;
class EntryPipeline;

class BusTranslator {
public:
    // What a message asks of the entry.
    struct Step {
        enum class Kind {
            None,
            Advance,         // what the bus has said has changed: move on from it
            Prerolled,       // advance, the pipeline having just prerolled
            Ended,           // played to its end
            Fail,            // failed for reason
            ProbeThenFail,   // failed for reason, unless a connection probe finds the system's
            TitleFound,      // the stream's own title arrived: titleTag()
            DurationChanged, // the duration is now duration
        };
        Step(Kind kind = Kind::None, std::string reason = {}, double duration = 0.0)
            : kind(kind)
            , reason(std::move(reason))
            , duration(duration)
        {
        }
        Kind kind;
        std::string reason;
        double duration; // seconds
    };

    // scheme: of the entry's URI, in lower case. measure must outlive the translator.
    BusTranslator(std::string scheme, EntryMeasurement& measure);

    // The step message asks for; pipeline is the entry's, the one whose bus posted it.
    Step translate(GstMessage* message, EntryPipeline& pipeline);

    // The stream's own title; empty until its tags name one.
    const std::string& titleTag() const { return m_titleTag; }
    // The plugin a missing-plugin message asked for; empty when none did.
    const std::string& missingPlugin() const { return m_missingPlugin; }
    // Whether playbin3 selected a video stream; unknown before it says.
    std::optional<bool> videoSelected() const { return m_videoSelected; }
    // Percent the buffering queue last reported (not live); 100 before it does.
    std::int32_t queueFill() const { return m_queueFill; }

private:
    Step translateError(GstMessage* message);
    Step translateEndOfStream(const EntryPipeline& pipeline) const;
    Step translateBuffering(GstMessage* message);
    Step translateTags(GstMessage* message);

    const std::string m_scheme;
    EntryMeasurement& m_measure;

    std::optional<bool> m_videoSelected;
    std::int32_t m_queueFill = 100;
    std::string m_missingPlugin;
    std::string m_sourceLost; // a live source's warning that its server stopped answering
    std::string m_titleTag;
};

} // namespace zephyrscope
