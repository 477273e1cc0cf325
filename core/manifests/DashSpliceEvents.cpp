#include "DashSpliceEvents.h"

#include "AdaptiveManifest.h"
#include "MpdXml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cmath>
#include <cstdlib>
#include <memory>

namespace zephyrscope {

namespace {

constexpr const char* kXmlScheme = "urn:scte:scte35:2013:xml";
constexpr const char* kBinaryScheme = "urn:scte:scte35:2014:xml+bin";
constexpr std::uint64_t kTicksPerMs = 90; // a section's times are on the 90 kHz clock

// The first element named localName at or under node, depth first.
xmlNode* find(xmlNode* node, const char* localName)
{
    for (; node; node = node->next) {
        if (IsXmlElement(node, localName))
            return node;
        if (xmlNode* below = find(node->children, localName))
            return below;
    }
    return nullptr;
}

// A whole unsigned number, or fallback when the text is empty; nothing for anything else.
std::optional<std::uint64_t> number(const std::string& text, std::optional<std::uint64_t> fallback = std::nullopt)
{
    if (text.empty())
        return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || text[0] == '-')
        return std::nullopt;
    return value;
}

std::optional<bool> flag(const std::string& text)
{
    if (text == "true" || text == "1")
        return true;
    if (text == "false" || text == "0")
        return false;
    return std::nullopt;
}

// An xs:duration of hours, minutes and seconds ("PT1H2M3.5S"), in ms.
std::optional<std::int64_t> durationMs(const std::string& text)
{
    if (!text.starts_with("PT") || text.size() < 4)
        return std::nullopt;
    double ms = 0;
    const char* p = text.c_str() + 2;
    while (*p) {
        char* end = nullptr;
        const double value = std::strtod(p, &end);
        if (end == p || !(value >= 0))
            return std::nullopt;
        const double unit = *end == 'H' ? 3600e3 : *end == 'M' ? 60e3 : *end == 'S' ? 1e3 : 0;
        if (unit == 0)
            return std::nullopt;
        ms += value * unit;
        p = end + 1;
    }
    return static_cast<std::int64_t>(std::llround(ms));
}

// ticks over timescale, in ms, without overflow.
std::int64_t msOf(std::uint64_t ticks, std::uint64_t timescale)
{
    return static_cast<std::int64_t>(ticks / timescale * 1000 + ticks % timescale * 1000 / timescale);
}

// The command of a SpliceInfoSection written as XML; false when it says none.
bool readXmlSection(xmlNode* section, SpliceCommand& command)
{
    if (xmlNode* insert = find(section->children, "SpliceInsert")) {
        const auto eventId = number(XmlAttribute(insert, "spliceEventId"));
        if (!eventId || *eventId > UINT32_MAX)
            return false;
        command.command = SpliceCommandType::SpliceInsert;
        command.eventId = static_cast<std::uint32_t>(*eventId);
        if (flag(XmlAttribute(insert, "spliceEventCancelIndicator")).value_or(false))
            return true; // a cancelled event says nothing of the network
        command.outOfNetwork = flag(XmlAttribute(insert, "outOfNetworkIndicator"));
        if (!command.outOfNetwork)
            return false;
        if (xmlNode* breakDuration = find(insert->children, "BreakDuration")) {
            const auto ticks = number(XmlAttribute(breakDuration, "duration"));
            if (!ticks)
                return false;
            command.durationMs = static_cast<std::int64_t>(*ticks / kTicksPerMs);
        }
        return true;
    }
    if (find(section->children, "TimeSignal")) {
        command.command = SpliceCommandType::TimeSignal;
        return true;
    }
    return false;
}

struct Stream {
    std::string key; // the Period's and the scheme's part of each Event's id
    bool binary = false;
    std::uint64_t timescale = 1;
    std::uint64_t offset = 0; // presentationTimeOffset
    std::optional<std::int64_t> startMs; // the Period's start on the wall clock
};

void readEvent(xmlNode* event, const Stream& stream, ManifestSplices& out)
{
    const std::string id = XmlAttribute(event, "id");
    const std::string time = XmlAttribute(event, "presentationTime");
    const std::string name = stream.key + "/" + (id.empty() ? "@" + time : id);
    const auto at = number(time, 0);
    const auto duration = number(XmlAttribute(event, "duration"), 0);
    ManifestSplice splice;
    splice.id = name;
    splice.command.source = SpliceSource::Dash;
    bool read = at && duration && *at >= stream.offset;
    if (read && stream.startMs)
        splice.command.spliceWallMs = *stream.startMs + msOf(*at - stream.offset, stream.timescale);
    if (read && stream.binary) {
        xmlNode* binary = find(event->children, "Binary");
        xmlChar* text = binary ? xmlNodeGetContent(binary) : nullptr;
        auto bytes = text ? ManifestSplice::fromBase64(reinterpret_cast<const char*>(text)) : std::nullopt;
        xmlFree(text);
        read = bytes.has_value();
        if (read)
            splice.section = std::move(*bytes);
    } else if (read) {
        xmlNode* section = find(event->children, "SpliceInfoSection");
        read = section && readXmlSection(section, splice.command);
    }
    if (!read) {
        out.malformed.push_back(name);
        return;
    }
    if (!splice.command.durationMs && *duration > 0)
        splice.command.durationMs = msOf(*duration, stream.timescale);
    out.splices.push_back(std::move(splice));
}

} // namespace

ManifestSplices DashSpliceEvents::parse(const std::string& mpd)
{
    ManifestSplices out;
    const XmlDocPtr doc = ReadMpdXml(mpd, "");
    xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!IsXmlElement(root, "MPD"))
        return out;
    std::optional<std::int64_t> availableMs;
    if (const auto us = AdaptiveManifest::parseDateTime(XmlAttribute(root, "availabilityStartTime")))
        availableMs = *us / 1000;
    std::int64_t periodMs = 0;
    int periodIndex = 0;
    for (xmlNode* period = root->children; period; period = period->next) {
        if (!IsXmlElement(period, "Period"))
            continue;
        periodMs = durationMs(XmlAttribute(period, "start")).value_or(periodMs);
        const std::string periodId = XmlAttribute(period, "id");
        for (xmlNode* events = period->children; events; events = events->next) {
            const std::string scheme = IsXmlElement(events, "EventStream") ? XmlAttribute(events, "schemeIdUri") : "";
            if (scheme != kXmlScheme && scheme != kBinaryScheme)
                continue;
            Stream stream;
            stream.key = "event:" + (periodId.empty() ? std::to_string(periodIndex) : periodId) + "/" + scheme;
            stream.binary = scheme == kBinaryScheme;
            const auto timescale = number(XmlAttribute(events, "timescale"), 1);
            const auto offset = number(XmlAttribute(events, "presentationTimeOffset"), 0);
            if (!timescale || *timescale == 0 || !offset) {
                out.malformed.push_back(stream.key);
                continue;
            }
            stream.timescale = *timescale;
            stream.offset = *offset;
            if (availableMs)
                stream.startMs = *availableMs + periodMs;
            for (xmlNode* event = events->children; event; event = event->next)
                if (IsXmlElement(event, "Event"))
                    readEvent(event, stream, out);
        }
        if (const auto length = durationMs(XmlAttribute(period, "duration")))
            periodMs += *length;
        ++periodIndex;
    }
    return out;
}

} // namespace zephyrscope
