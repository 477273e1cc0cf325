#pragma once

#include <string>

namespace zephyrscope {

// What the player makes of the text put as its URL. Pure string work (with
// GLib's URI helpers behind it); usable from any thread.
class MediaUrl {
public:
    enum class PlaylistKind { None, Playlist, PlaylistOrHls };

    // A local path (relative or absolute) becomes a file:// URI; anything with a
    // scheme is kept as given.
    static std::string toUri(const std::string& url);
    // The scheme in lower case ("file", "http", "rtspt", ...); empty when none.
    static std::string scheme(const std::string& uri);
    // The last path segment, unescaped, without query and extension.
    static std::string baseName(const std::string& uri);
    // The extension of the last path segment in lower case, without the dot.
    static std::string extension(const std::string& uri);
    static PlaylistKind playlistKind(const std::string& uri);
    // True for an .m3u8 text that is an HTTP live stream rather than a plain list.
    static bool looksLikeHls(const std::string& text);
};

} // namespace zephyrscope
