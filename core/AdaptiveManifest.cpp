#include "AdaptiveManifest.h"

#include <cstdlib>
#include <sstream>

namespace zephyrscope {

namespace {

std::string trim(const std::string& text)
{
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    const auto end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// The value of NAME=value in an HLS attribute list; quoted values may hold commas.
std::string hlsAttribute(const std::string& list, const std::string& name)
{
    std::size_t i = 0;
    while (i < list.size()) {
        const auto eq = list.find('=', i);
        if (eq == std::string::npos)
            return {};
        const std::string key = trim(list.substr(i, eq - i));
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

std::vector<AdaptiveVariant> parseHls(const std::string& text, const std::string& manifestUri)
{
    std::vector<AdaptiveVariant> variants;
    std::istringstream lines(text);
    std::string line;
    std::optional<AdaptiveVariant> pending;
    while (std::getline(lines, line)) {
        line = trim(line);
        if (line.rfind("#EXT-X-STREAM-INF:", 0) == 0) {
            const std::string attributes = line.substr(18);
            AdaptiveVariant variant;
            variant.bandwidth = std::atoll(hlsAttribute(attributes, "BANDWIDTH").c_str());
            const std::string resolution = hlsAttribute(attributes, "RESOLUTION");
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

// The value of name="value" in an XML start tag.
std::string xmlAttribute(const std::string& tag, const std::string& name)
{
    std::size_t from = 0;
    while ((from = tag.find(name + "=", from)) != std::string::npos) {
        const bool wordStart = from == 0 || tag[from - 1] == ' ' || tag[from - 1] == '\t' || tag[from - 1] == '\n'
            || tag[from - 1] == '\r';
        const std::size_t quote = from + name.size() + 1;
        if (wordStart && quote < tag.size() && (tag[quote] == '"' || tag[quote] == '\'')) {
            const auto close = tag.find(tag[quote], quote + 1);
            if (close != std::string::npos)
                return tag.substr(quote + 1, close - quote - 1);
        }
        from += name.size();
    }
    return {};
}

std::vector<AdaptiveVariant> parseDash(const std::string& text)
{
    std::vector<AdaptiveVariant> variants;
    int setWidth = 0, setHeight = 0;
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string::npos) {
        const auto close = text.find('>', at);
        if (close == std::string::npos)
            break;
        const std::string tag = text.substr(at, close - at + 1);
        at = close;
        if (tag.rfind("<AdaptationSet", 0) == 0) {
            setWidth = std::atoi(xmlAttribute(tag, "width").c_str());
            setHeight = std::atoi(xmlAttribute(tag, "height").c_str());
        } else if (tag.rfind("<Representation", 0) == 0) {
            AdaptiveVariant variant;
            variant.bandwidth = std::atoll(xmlAttribute(tag, "bandwidth").c_str());
            const std::string width = xmlAttribute(tag, "width");
            const std::string height = xmlAttribute(tag, "height");
            variant.width = width.empty() ? setWidth : std::atoi(width.c_str());
            variant.height = height.empty() ? setHeight : std::atoi(height.c_str());
            variant.uri = xmlAttribute(tag, "id");
            variants.push_back(variant);
        }
    }
    return variants;
}

} // namespace

std::vector<AdaptiveVariant> AdaptiveManifest::parse(const std::string& text, const std::string& manifestUri)
{
    if (text.find("#EXTM3U") != std::string::npos)
        return parseHls(text, manifestUri);
    if (text.find("<MPD") != std::string::npos)
        return parseDash(text);
    return {};
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

std::string AdaptiveManifest::resolve(const std::string& base, const std::string& ref)
{
    if (ref.find("://") != std::string::npos)
        return ref;
    const auto schemeEnd = base.find("://");
    const auto pathStart = schemeEnd == std::string::npos ? std::string::npos : base.find('/', schemeEnd + 3);
    if (!ref.empty() && ref[0] == '/')
        return (pathStart == std::string::npos ? base : base.substr(0, pathStart)) + ref;
    const std::string withoutQuery = base.substr(0, base.find_first_of("?#"));
    const auto slash = withoutQuery.find_last_of('/');
    if (slash == std::string::npos || (pathStart != std::string::npos && slash < pathStart))
        return withoutQuery + "/" + ref;
    return withoutQuery.substr(0, slash + 1) + ref;
}

} // namespace zephyrscope
