#include "PlaylistExpander.h"

#include "GstHandles.h"
#include "MediaUrl.h"

#include <totem-pl-parser.h>

#include <glib/gstdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string_view>

namespace zephyrscope {

using namespace gsthandles;

namespace {

void onEntryParsed(TotemPlParser*, const gchar* uri, GHashTable* metadata, gpointer data)
{
    auto* entries = static_cast<std::vector<PlaylistEntry>*>(data);
    PlaylistEntry entry;
    entry.uri = uri ? uri : "";
    if (metadata) {
        if (const auto* title = static_cast<const gchar*>(g_hash_table_lookup(metadata, TOTEM_PL_PARSER_FIELD_TITLE)))
            entry.title = title;
    }
    if (!entry.uri.empty())
        entries->push_back(std::move(entry));
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A copy of the list the parser can read, or empty when the list itself will do.
// Windows playlists may name their entries with backslashes ("media\clip.wmv"),
// and the parser resolves only forward slashes. A list saved by a Windows editor
// may start with a UTF-8 byte-order mark, which the M3U parser takes for the
// first entry's name.
std::string parseableCopy(const std::string& path, const std::string& extension)
{
    std::string text = readFile(path);
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    const bool marked = text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0;
    const bool backslashes = extension == "wpl" && text.find('\\') != std::string::npos;
    if (!marked && !backslashes)
        return {};
    if (marked)
        text.erase(0, kByteOrderMark.size());
    for (char& c : text) {
        if (backslashes && c == '\\')
            c = '/';
    }
    gchar* name = nullptr;
    const std::string pattern = "zephyrscope-XXXXXX." + extension;
    const int fd = g_file_open_tmp(pattern.c_str(), &name, nullptr);
    CharPtr owned(name);
    if (fd < 0)
        return {};
    const bool written = g_file_set_contents(name, text.data(), static_cast<gssize>(text.size()), nullptr);
    close(fd);
    return written ? std::string(name) : std::string();
}

// Everything before the last slash of a URI: the folder its relative entries live in.
std::string folderOf(const std::string& uri)
{
    const auto cut = uri.find_first_of("?#");
    const auto slash = uri.find_last_of('/', cut == std::string::npos ? std::string::npos : cut);
    return slash == std::string::npos ? uri : uri.substr(0, slash);
}

// Drops "/./" and doubled slashes from the path of a URI.
std::string normalizedPath(std::string uri)
{
    const auto scheme = uri.find("://");
    const auto pathStart = scheme == std::string::npos ? 0 : uri.find('/', scheme + 3);
    if (pathStart == std::string::npos)
        return uri;
    for (auto at = uri.find("/./", pathStart); at != std::string::npos; at = uri.find("/./", pathStart))
        uri.erase(at, 2);
    for (auto at = uri.find("//", pathStart); at != std::string::npos; at = uri.find("//", pathStart))
        uri.erase(at, 1);
    return uri;
}

} // namespace

PlaylistExpander::Result PlaylistExpander::expand(const std::string& fileUri, const std::string& baseUri)
{
    Result result;
    CharPtr path(g_filename_from_uri(fileUri.c_str(), nullptr, nullptr));
    if (!path) {
        result.error = "not a local file";
        return result;
    }
    if (!g_file_test(path.get(), G_FILE_TEST_IS_REGULAR)) {
        result.error = "No such file";
        return result;
    }

    std::string parseUri = fileUri;
    std::string tempCopy;
    tempCopy = parseableCopy(path.get(), MediaUrl::extension(baseUri));
    if (!tempCopy.empty()) {
        CharPtr uri(g_filename_to_uri(tempCopy.c_str(), nullptr, nullptr));
        parseUri = uri.get();
    }

    std::unique_ptr<TotemPlParser, GObjectUnref> parser(totem_pl_parser_new());
    // Entries are media to play, not lists to open: do not fetch or descend into them.
    g_object_set(parser.get(), "recurse", FALSE, nullptr);
    g_signal_connect(parser.get(), "entry-parsed", G_CALLBACK(onEntryParsed), &result.entries);
    // The parsers disagree on the base: the PLS one takes it as a folder, the M3U
    // one ignores it and resolves against the file it reads. So PLS gets the
    // folder, and entries resolved against a copy's folder are moved to the
    // list's own folder afterwards.
    const std::string baseFolder = folderOf(baseUri);
    const std::string parseBase = MediaUrl::extension(baseUri) == "pls" ? baseFolder + "/" : baseUri;
    const TotemPlParserResult parsed =
        totem_pl_parser_parse_with_base(parser.get(), parseUri.c_str(), parseBase.c_str(), FALSE);
    const std::string copyFolder = folderOf(parseUri);
    for (auto& entry : result.entries) {
        // An absolute local path comes back as it stands in the list; the engine takes URIs only.
        if (entry.uri.rfind('/', 0) == 0)
            entry.uri = MediaUrl::toUri(entry.uri);
        entry.uri = normalizedPath(entry.uri);
        if (copyFolder != baseFolder && entry.uri.rfind(copyFolder + "/", 0) == 0
            && entry.uri.rfind(baseFolder + "/", 0) != 0)
            entry.uri = baseFolder + entry.uri.substr(copyFolder.size());
    }
    if (!tempCopy.empty())
        g_unlink(tempCopy.c_str());

    if (parsed != TOTEM_PL_PARSER_RESULT_SUCCESS)
        result.error = parsed == TOTEM_PL_PARSER_RESULT_UNHANDLED ? "not a playlist the player can read"
                                                                   : "the playlist cannot be parsed";
    else if (result.entries.empty())
        result.error = "the playlist is empty";
    if (!result.error.empty())
        result.entries.clear();
    return result;
}

} // namespace zephyrscope
