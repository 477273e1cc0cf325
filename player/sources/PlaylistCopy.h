#pragma once

// The list as the playlist parser reads it when it cannot read the list in
// place: a copy in a fresh folder of its own that mirrors the path of the
// list's folder, so that what the parser resolves against the copy
// ("clip.mp4", "../clip.mp4") lands under that folder and nothing else does.
// An absolute path in the list stays as it stands, under the temporary folder
// or not. Private to player/; main-loop thread.
//
// A copy is made when the list was downloaded (its base is elsewhere) or when
// its text needs mending: a list saved by a Windows editor may start with a
// UTF-8 byte-order mark, which the M3U parser takes for the first entry's name,
// and Windows playlists may name their entries with backslashes
// ("media\clip.wmv"), which the parser does not resolve.

#include <string>

namespace zephyrscope {

class PlaylistCopy {
public:
    // fileUri and path: the list as it lies here; baseUri: where it comes from
    // (the same as fileUri for a local list).
    PlaylistCopy(const std::string& fileUri, const std::string& path, const std::string& baseUri);
    // Removes the copy and its folders.
    ~PlaylistCopy();
    PlaylistCopy(const PlaylistCopy&) = delete;
    PlaylistCopy& operator=(const PlaylistCopy&) = delete;

    // The copy's file:// URI; empty when the list is read in place.
    std::string uri() const;
    // An entry the parser resolved against the copy, resolved against the list's
    // own place instead; any other entry as it is.
    std::string relocated(const std::string& entry) const;

    // Everything before the last slash of a URI or path: the folder its relative entries live in.
    static std::string folderOf(const std::string& uri);

private:
    const std::string m_baseUri;
    std::string m_root;   // the private folder; empty when there is no copy
    std::string m_folder; // the mirror of the list's folder in it
    std::string m_file;   // the copy; empty when there is none
};

} // namespace zephyrscope
