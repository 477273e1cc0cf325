#include "PlaylistExpander.h"

#include "GstHandles.h"
#include "MediaUrl.h"
#include "PlaylistCopy.h"

#include <totem-pl-parser.h>

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
    CharPtr path(g_filename_from_uri(fileUri.c_str(), nullptr, nullptr));
    if (!path)
        return {{}, "not a local file"};
    if (!g_file_test(path.get(), G_FILE_TEST_IS_REGULAR))
        return {{}, "No such file"};

    Result result;
    const PlaylistCopy copy(fileUri, path.get(), baseUri);
    const std::string copyUri = copy.uri();
    const std::string parseUri = copyUri.empty() ? fileUri : copyUri;

    std::unique_ptr<TotemPlParser, GObjectUnref> parser(totem_pl_parser_new());
    // Entries are media to play, not lists to open: do not fetch or descend into them.
    g_object_set(parser.get(), "recurse", FALSE, nullptr);
    g_signal_connect(parser.get(), "entry-parsed", G_CALLBACK(onEntryParsed), &result.entries);
    // The parsers disagree on the base: the PLS one takes it as a folder, the M3U
    // one ignores it and resolves against the file it reads. So PLS gets the
    // folder, and entries resolved against the copy are moved to the list's own
    // place afterwards.
    const std::string parseBase = MediaUrl::extension(baseUri) == "pls" ? PlaylistCopy::folderOf(baseUri) + "/" : baseUri;
    const TotemPlParserResult parsed =
        totem_pl_parser_parse_with_base(parser.get(), parseUri.c_str(), parseBase.c_str(), FALSE);
    for (auto& entry : result.entries) {
        // An absolute local path comes back as it stands in the list; the engine takes URIs only.
        if (entry.uri.rfind('/', 0) == 0)
            entry.uri = MediaUrl::toUri(entry.uri);
        entry.uri = copy.relocated(normalizedPath(entry.uri));
    }

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
