#include "PlaylistCopy.h"

#include "GstHandles.h"
#include "MediaUrl.h"

#include <glib/gstdio.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>

namespace zephyrscope {

using namespace gsthandles;

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// "file:///a/b" -> {"file://", "/a/b"}; "http://h:80/a" -> {"http://h:80", "/a"}.
std::pair<std::string, std::string> originAndPath(const std::string& uri)
{
    const auto scheme = uri.find("://");
    const auto slash = scheme == std::string::npos ? std::string::npos : uri.find('/', scheme + 3);
    if (slash == std::string::npos)
        return {uri, ""};
    return {uri.substr(0, slash), uri.substr(slash)};
}

} // namespace

PlaylistCopy::PlaylistCopy(const std::string& fileUri, const std::string& path, const std::string& baseUri)
    : m_baseUri(baseUri)
{
    const std::string extension = MediaUrl::extension(baseUri);
    std::string text = readFile(path);
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    const bool marked = text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0;
    const bool backslashes = extension == "wpl" && text.find('\\') != std::string::npos;
    if (!marked && !backslashes && fileUri == baseUri)
        return;
    if (marked)
        text.erase(0, kByteOrderMark.size());
    if (backslashes)
        std::replace(text.begin(), text.end(), '\\', '/');
    CharPtr root(g_dir_make_tmp("zephyrscope-XXXXXX", nullptr));
    if (!root)
        return;
    m_root = root.get();
    CharPtr mirrored(g_uri_unescape_string(originAndPath(folderOf(baseUri)).second.c_str(), nullptr));
    m_folder = m_root + (mirrored ? mirrored.get() : "");
    const std::string file = m_folder + "/playlist" + (extension.empty() ? "" : "." + extension);
    if (g_mkdir_with_parents(m_folder.c_str(), 0700) == 0
        && g_file_set_contents(file.c_str(), text.data(), static_cast<gssize>(text.size()), nullptr))
        m_file = file;
}

PlaylistCopy::~PlaylistCopy()
{
    if (m_root.empty())
        return;
    if (!m_file.empty())
        g_unlink(m_file.c_str());
    // The mirrored folders, from the deepest up to the root, each empty by now.
    for (std::string folder = m_folder; folder.size() >= m_root.size(); folder = folderOf(folder))
        g_rmdir(folder.c_str());
}

std::string PlaylistCopy::uri() const
{
    CharPtr uri(m_file.empty() ? nullptr : g_filename_to_uri(m_file.c_str(), nullptr, nullptr));
    return uri ? uri.get() : "";
}

std::string PlaylistCopy::relocated(const std::string& entry) const
{
    CharPtr root(m_file.empty() ? nullptr : g_filename_to_uri(m_root.c_str(), nullptr, nullptr));
    if (!root)
        return entry;
    const std::string prefix = std::string(root.get()) + "/";
    if (entry.rfind(prefix, 0) != 0)
        return entry;
    return originAndPath(m_baseUri).first + entry.substr(prefix.size() - 1);
}

std::string PlaylistCopy::folderOf(const std::string& uri)
{
    const auto cut = uri.find_first_of("?#");
    const auto slash = uri.find_last_of('/', cut == std::string::npos ? std::string::npos : cut);
    return slash == std::string::npos ? uri : uri.substr(0, slash);
}

} // namespace zephyrscope
