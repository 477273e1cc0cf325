#include "NestedPlaylists.h"

#include "GstHandles.h"
#include "LocalSource.h"
#include "MediaUrl.h"
#include "Protocol.h"
#include "RemotePlaylistFetch.h"

#include <glib/gstdio.h>

#include <algorithm>

namespace zephyrscope {

using namespace gsthandles;

NestedPlaylists::NestedPlaylists(std::string rootUri, std::string caFile, Done done)
    : m_caFile(std::move(caFile))
    , m_done(std::move(done))
{
    m_path.push_back({std::move(rootUri), {}, 0});
}

NestedPlaylists::~NestedPlaylists() = default;

void NestedPlaylists::start(std::vector<PlaylistEntry> entries)
{
    m_path.front().entries = std::move(entries);
    walk();
}

void NestedPlaylists::walk()
{
    while (!m_path.empty()) {
        Level& level = m_path.back();
        if (level.next == level.entries.size()) {
            m_path.pop_back();
            continue;
        }
        const PlaylistEntry entry = level.entries[level.next++];
        if (MediaUrl::playlistKind(entry.uri) == MediaUrl::PlaylistKind::None) {
            m_result.entries.push_back(entry);
            continue;
        }
        if (std::ranges::any_of(m_path, [&](const Level& above) { return above.uri == entry.uri; }))
            continue; // a list within itself: what else it lists is played once
        if (static_cast<int>(m_path.size()) > kMaxDepth) {
            m_result.failures.push_back(
                {entry.uri, "playlists are nested more than " + std::to_string(kMaxDepth) + " deep"});
            continue;
        }
        if (!descend(entry))
            return;
    }
    // The callback may destroy this expansion: nothing touches it afterwards.
    Done done = std::move(m_done);
    done(std::move(m_result));
}

bool NestedPlaylists::descend(const PlaylistEntry& entry)
{
    const std::string& uri = entry.uri;
    const bool maybeHls = MediaUrl::playlistKind(uri) == MediaUrl::PlaylistKind::PlaylistOrHls;
    if (isLocalScheme(MediaUrl::scheme(uri))) {
        CharPtr path(g_filename_from_uri(uri.c_str(), nullptr, nullptr));
        // An HTTP live stream is media, played (and failed) as such.
        if (maybeHls && path && MediaUrl::looksLikeHls(ReadLocalText(path.get()))) {
            m_result.entries.push_back(entry);
            return true;
        }
        if (const std::string problem = LocalSourceProblem(uri); !problem.empty()) {
            m_result.failures.push_back({uri, problem});
            return true;
        }
        expanded(uri, PlaylistExpander::expand(uri, uri));
        return true;
    }
    // The fetch that answered may be the one calling: it is kept until the next answer.
    m_answered = std::move(m_fetch);
    m_fetch = std::make_unique<RemotePlaylistFetch>(uri, m_caFile, [this, entry, maybeHls](RemotePlaylistFetch::Result fetched) {
        if (!fetched.error.empty()) {
            m_result.failures.push_back({entry.uri, fetched.error});
        } else if (maybeHls && MediaUrl::looksLikeHls(ReadLocalText(fetched.filePath))) {
            g_unlink(fetched.filePath.c_str());
            m_result.entries.push_back(entry);
        } else {
            CharPtr fileUri(g_filename_to_uri(fetched.filePath.c_str(), nullptr, nullptr));
            PlaylistExpander::Result result = PlaylistExpander::expand(fileUri ? fileUri.get() : "", entry.uri);
            g_unlink(fetched.filePath.c_str());
            expanded(entry.uri, std::move(result));
        }
        walk();
    });
    m_fetch->start();
    return false;
}

void NestedPlaylists::expanded(const std::string& uri, PlaylistExpander::Result result)
{
    if (!result.error.empty())
        m_result.failures.push_back({uri, result.error});
    else
        m_path.push_back({uri, std::move(result.entries), 0});
}

} // namespace zephyrscope
