#include "MediaUrl.h"

#include "GstHandles.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace zephyrscope {

using namespace gsthandles;

namespace {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The path part of a URI: no scheme/authority, no query, no fragment.
std::string pathOf(const std::string& uri)
{
    std::string path = uri;
    const auto schemeEnd = path.find("://");
    if (schemeEnd != std::string::npos) {
        const auto pathStart = path.find('/', schemeEnd + 3);
        path = pathStart == std::string::npos ? std::string() : path.substr(pathStart);
    }
    const auto cut = path.find_first_of("?#");
    if (cut != std::string::npos)
        path.resize(cut);
    return path;
}

std::string lastSegment(const std::string& uri)
{
    const std::string path = pathOf(uri);
    const auto slash = path.find_last_of('/');
    std::string segment = slash == std::string::npos ? path : path.substr(slash + 1);
    CharPtr unescaped(g_uri_unescape_string(segment.c_str(), nullptr));
    return unescaped ? std::string(unescaped.get()) : segment;
}

} // namespace

std::string MediaUrl::toUri(const std::string& url)
{
    if (url.find("://") != std::string::npos)
        return url;
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(url, ec);
    const std::string path = ec ? url : absolute.lexically_normal().string();
    CharPtr uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
    return uri ? std::string(uri.get()) : url;
}

std::string MediaUrl::scheme(const std::string& uri)
{
    const auto end = uri.find("://");
    if (end == std::string::npos)
        return {};
    return lower(uri.substr(0, end));
}

std::string MediaUrl::baseName(const std::string& uri)
{
    std::string segment = lastSegment(uri);
    const auto dot = segment.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        segment.resize(dot);
    return segment;
}

std::string MediaUrl::extension(const std::string& uri)
{
    const std::string segment = lastSegment(uri);
    const auto dot = segment.find_last_of('.');
    if (dot == std::string::npos)
        return {};
    return lower(segment.substr(dot + 1));
}

MediaUrl::PlaylistKind MediaUrl::playlistKind(const std::string& uri)
{
    const std::string ext = extension(uri);
    if (ext == "wpl" || ext == "asx" || ext == "wax" || ext == "wvx" || ext == "m3u" || ext == "pls"
        || ext == "xspf")
        return PlaylistKind::Playlist;
    if (ext == "m3u8")
        return PlaylistKind::PlaylistOrHls;
    return PlaylistKind::None;
}

bool MediaUrl::looksLikeHls(const std::string& text)
{
    return text.find("#EXT-X-") != std::string::npos;
}

} // namespace zephyrscope
