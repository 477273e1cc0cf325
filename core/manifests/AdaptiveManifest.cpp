#include "AdaptiveManifest.h"

#include "MpdXml.h"
#include "UtcTiming.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/uri.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <sstream>

namespace zephyrscope {

namespace {

// A declared number of bits per second; absent (0) when it is not one whole,
// non-negative number.
std::int64_t bandwidthValue(const std::string& text)
{
    const std::string value(AdaptiveManifest::trimmed(text));
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    errno = 0;
    const long long parsed = std::strtoll(value.c_str(), nullptr, 10);
    return errno == ERANGE ? 0 : parsed;
}

std::vector<AdaptiveVariant> parseHls(const std::string& text, const std::string& manifestUri)
{
    std::vector<AdaptiveVariant> variants;
    std::istringstream lines(text);
    std::string line;
    std::optional<AdaptiveVariant> pending;
    while (std::getline(lines, line)) {
        line = std::string(AdaptiveManifest::trimmed(line));
        if (line.starts_with("#EXT-X-STREAM-INF:")) {
            const std::string attributes = line.substr(18);
            AdaptiveVariant variant;
            variant.bandwidth = bandwidthValue(AdaptiveManifest::hlsAttribute(attributes, "BANDWIDTH"));
            const std::string resolution = AdaptiveManifest::hlsAttribute(attributes, "RESOLUTION");
            if (const auto x = resolution.find('x'); x != std::string::npos) {
                variant.width = std::atoi(resolution.substr(0, x).c_str());
                variant.height = std::atoi(resolution.substr(x + 1).c_str());
            }
            pending = variant;
        } else if (pending && !line.empty() && line[0] != '#') {
            pending->uri = AdaptiveManifest::resolve(manifestUri, line);
            variants.push_back(*pending);
            pending.reset();
        }
    }
    return variants;
}

// Representations inherit the picture size of their AdaptationSet. Elements are
// matched by local name, so a prefixed <mpd:Representation> counts too.
void collectRepresentations(xmlNode* node, int setWidth, int setHeight, std::vector<AdaptiveVariant>& variants)
{
    for (; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        int width = setWidth, height = setHeight;
        if (IsXmlElement(node, "AdaptationSet")) {
            width = std::atoi(XmlAttribute(node, "width").c_str());
            height = std::atoi(XmlAttribute(node, "height").c_str());
        } else if (IsXmlElement(node, "Representation")) {
            AdaptiveVariant variant;
            variant.bandwidth = bandwidthValue(XmlAttribute(node, "bandwidth"));
            const std::string w = XmlAttribute(node, "width");
            const std::string h = XmlAttribute(node, "height");
            variant.width = w.empty() ? setWidth : std::atoi(w.c_str());
            variant.height = h.empty() ? setHeight : std::atoi(h.c_str());
            variant.uri = XmlAttribute(node, "id");
            variants.push_back(variant);
        }
        collectRepresentations(node->children, width, height, variants);
    }
}

std::vector<AdaptiveVariant> parseDash(const std::string& text, const std::string& manifestUri)
{
    const auto doc = ReadMpdXml(text, manifestUri);
    std::vector<AdaptiveVariant> variants;
    if (doc)
        collectRepresentations(xmlDocGetRootElement(doc.get()), 0, 0, variants);
    return variants;
}

// The push parser's SAX handler: the first start tag is the root's.
void onRootElement(void* context, const xmlChar* localName, const xmlChar*, const xmlChar*, int, const xmlChar**, int,
                   int, const xmlChar**)
{
    auto* parser = static_cast<xmlParserCtxtPtr>(context);
    *static_cast<std::string*>(parser->_private) = reinterpret_cast<const char*>(localName);
    xmlStopParser(parser);
}

void ignoreError(void*, xmlErrorPtr) { }

} // namespace

bool AdaptiveManifest::rootIsMpd(const std::string& text)
{
    // Most text handed here is media: no XML parser for what cannot be XML.
    std::size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    at = text.find_first_not_of(" \t\r\n", at);
    if (at == std::string::npos || text[at] != '<' || text.size() > static_cast<std::size_t>(INT_MAX))
        return false;
    static std::once_flag initialised;
    std::call_once(initialised, [] { xmlInitParser(); });
    xmlSAXHandler handler {};
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = onRootElement;
    handler.serror = ignoreError;
    // The text ends anywhere: a push parser reads what is there and waits for
    // the rest, where a whole-document parser would fail on the cut.
    std::string root;
    const std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> parser(
        xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, nullptr), xmlFreeParserCtxt);
    if (!parser)
        return false;
    xmlCtxtUseOptions(parser.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    parser->_private = &root;
    xmlParseChunk(parser.get(), text.data(), static_cast<int>(text.size()), 0);
    return root == "MPD";
}

bool AdaptiveManifest::isDashContentType(const std::string& contentType)
{
    const std::size_t end = contentType.find(';');
    std::string type = contentType.substr(0, end);
    type.erase(0, type.find_first_not_of(" \t"));
    type.erase(type.find_last_not_of(" \t") + 1);
    for (char& c : type)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type == "application/dash+xml";
}

std::vector<AdaptiveVariant> AdaptiveManifest::parse(const std::string& text, const std::string& manifestUri)
{
    if (text.find("#EXTM3U") != std::string::npos)
        return parseHls(text, manifestUri);
    if (text.find("MPD") != std::string::npos && text.size() <= static_cast<std::size_t>(INT_MAX))
        return parseDash(text, manifestUri);
    return {};
}

std::optional<DashLiveClock> AdaptiveManifest::dashLiveClock(const std::string& text, const std::string& manifestUri)
{
    if (text.find("MPD") == std::string::npos || text.size() > static_cast<std::size_t>(INT_MAX))
        return std::nullopt;
    const auto doc = ReadMpdXml(text, "manifest.mpd");
    xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root || !IsXmlElement(root, "MPD") || XmlAttribute(root, "type") != "dynamic")
        return std::nullopt;
    const auto start = parseDateTime(XmlAttribute(root, "availabilityStartTime"));
    if (!start)
        return std::nullopt;
    DashLiveClock clock;
    clock.availabilityStartUs = *start;
    // The time in the MPD needs no request: it wins wherever it stands; else
    // the first source this client can ask, in the MPD's order of preference.
    for (xmlNode* node = root->children; node; node = node->next) {
        if (!IsXmlElement(node, "UTCTiming"))
            continue;
        const auto scheme = UtcTiming::schemeOf(XmlAttribute(node, "schemeIdUri"));
        const std::string value = XmlAttribute(node, "value");
        if (scheme == UtcTiming::Scheme::Direct) {
            if (const auto time = UtcTiming::parseTime(*scheme, value)) {
                clock.serverTimeUs = time;
                clock.timeSource.reset();
                break;
            }
        } else if (scheme && !value.empty() && !clock.timeSource) {
            clock.timeSource = UtcTiming {*scheme, manifestUri.empty() ? value : resolve(manifestUri, value)};
        }
    }
    return clock;
}

std::optional<std::int64_t> AdaptiveManifest::parseDateTime(const std::string& text)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, consumed = 0;
    // "YYYY-MM-DDThh:mm:" of digits where they belong, then "ss" or "ss.fff...".
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%n", &year, &month, &day, &hour, &minute, &consumed) != 5
        || consumed != 17)
        return std::nullopt;
    for (const std::size_t at : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u, 11u, 12u, 14u, 15u, 17u, 18u}) {
        if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at])))
            return std::nullopt;
    }
    const char* rest = text.c_str() + consumed;
    const char* end = rest + 2;
    if (*end == '.' && std::isdigit(static_cast<unsigned char>(end[1]))) {
        ++end;
        while (std::isdigit(static_cast<unsigned char>(*end)))
            ++end;
    }
    const double seconds = std::strtod(std::string(rest, end).c_str(), nullptr);
    if (seconds < 0.0 || seconds >= 61.0 || month < 1 || month > 12 || day < 1 || day > 31
        || hour > 23 || minute > 59)
        return std::nullopt;
    std::int64_t zoneS = 0;
    if (*end == '+' || *end == '-') {
        // "+hh:mm", "+hhmm" or "+hh", and nothing after it.
        const std::string zone(end + 1);
        const bool colon = zone.size() == 5 && zone[2] == ':';
        if (zone.size() != 2 && zone.size() != 4 && !colon)
            return std::nullopt;
        for (std::size_t i = 0; i < zone.size(); ++i) {
            if (!(colon && i == 2) && !std::isdigit(static_cast<unsigned char>(zone[i])))
                return std::nullopt;
        }
        const int zoneHour = std::atoi(zone.substr(0, 2).c_str());
        const int zoneMinute = zone.size() == 2 ? 0 : std::atoi(zone.substr(colon ? 3 : 2, 2).c_str());
        if (zoneHour > 14 || zoneMinute > 59)
            return std::nullopt;
        zoneS = (*end == '+' ? 1 : -1) * (zoneHour * 3600 + zoneMinute * 60);
    } else if (!(*end == 'Z' && end[1] == '\0') && *end != '\0') {
        return std::nullopt;
    }
    std::tm utc {};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    const std::int64_t wholeS = static_cast<std::int64_t>(timegm(&utc)) - zoneS;
    return wholeS * 1000000 + static_cast<std::int64_t>(std::llround(seconds * 1e6));
}

std::optional<std::int64_t> AdaptiveManifest::bandwidthForSize(const std::vector<AdaptiveVariant>& variants, int width,
                                                               int height, std::int64_t hint)
{
    std::optional<std::int64_t> found;
    for (const AdaptiveVariant& variant : variants) {
        if (variant.width != width || variant.height != height)
            continue;
        if (variant.bandwidth == hint)
            return hint;
        if (!found)
            found = variant.bandwidth;
    }
    return found;
}

std::string AdaptiveManifest::hlsAttribute(const std::string& list, const std::string& name)
{
    std::size_t i = 0;
    while (i < list.size()) {
        const auto eq = list.find('=', i);
        if (eq == std::string::npos)
            return {};
        const std::string_view key = trimmed(std::string_view(list).substr(i, eq - i));
        std::size_t end = eq + 1;
        std::string value;
        if (end < list.size() && list[end] == '"') {
            const auto close = list.find('"', end + 1);
            value = list.substr(end + 1, close == std::string::npos ? std::string::npos : close - end - 1);
            end = close == std::string::npos ? list.size() : close + 1;
        } else {
            const auto comma = list.find(',', end);
            value = list.substr(end, comma == std::string::npos ? std::string::npos : comma - end);
            end = comma == std::string::npos ? list.size() : comma;
        }
        if (key == name)
            return value;
        const auto comma = list.find(',', end);
        i = comma == std::string::npos ? list.size() : comma + 1;
    }
    return {};
}

std::string_view AdaptiveManifest::trimmed(std::string_view text)
{
    constexpr std::string_view kSpace = " \t\r\n";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kSpace) + 1 - first);
}

std::string AdaptiveManifest::resolve(const std::string& base, const std::string& ref)
{
    // RFC 3986 reference resolution: "..", network-path references ("//host/")
    // and queries that hold "://" are libxml2's to get right, not ours.
    xmlChar* resolved = xmlBuildURI(reinterpret_cast<const xmlChar*>(ref.c_str()),
                                    reinterpret_cast<const xmlChar*>(base.c_str()));
    if (!resolved)
        return ref; // not a URI reference (a space, say): left as the manifest wrote it
    std::string uri(reinterpret_cast<const char*>(resolved));
    xmlFree(resolved);
    return uri;
}

} // namespace zephyrscope
