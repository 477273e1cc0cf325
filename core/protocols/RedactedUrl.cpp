#include "RedactedUrl.h"

#include <cctype>
#include <optional>

namespace zephyrscope {

namespace {

constexpr std::string_view kMask = "***";

// Where the user information of the URL that starts at text[0] lies.
struct UserInfo {
    std::size_t begin = 0; // first character after "://"
    std::size_t colon = std::string_view::npos; // between user and password, if any
    std::size_t at = 0; // the '@' that ends it
    std::size_t end = 0; // end of the URL's authority
};

bool isSchemeChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

// The authority's end: a path, query or fragment begins or, for a URL quoted in
// a text, the quote or a space ends it.
std::size_t authorityEnd(std::string_view text, std::size_t from, bool inText)
{
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '/' || c == '?' || c == '#')
            return i;
        if (inText && (c == '\'' || c == '"' || c == '>' || std::isspace(static_cast<unsigned char>(c))))
            return i;
    }
    return text.size();
}

std::optional<UserInfo> findUserInfo(std::string_view text, std::size_t schemeEnd, bool inText = false)
{
    UserInfo info;
    info.begin = schemeEnd + 3;
    info.end = authorityEnd(text, info.begin, inText);
    const std::string_view authority = text.substr(info.begin, info.end - info.begin);
    // A password may hold '@' unescaped: the host starts after the last one.
    const std::size_t at = authority.rfind('@');
    if (at == std::string_view::npos)
        return std::nullopt;
    info.at = info.begin + at;
    if (const std::size_t colon = authority.substr(0, at).find(':'); colon != std::string_view::npos)
        info.colon = info.begin + colon;
    return info;
}

// The user information of a whole URL, if it has any.
std::optional<UserInfo> findUrlUserInfo(std::string_view url)
{
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos || schemeEnd == 0)
        return std::nullopt;
    return findUserInfo(url, schemeEnd);
}

std::string masked(std::string_view text, const UserInfo& info)
{
    if (info.colon == std::string_view::npos)
        return std::string(text.substr(0, info.end));
    std::string out(text.substr(0, info.colon + 1));
    out += kMask;
    out += text.substr(info.at, info.end - info.at);
    return out;
}

} // namespace

std::string RedactedUrl(std::string_view url)
{
    const auto info = findUrlUserInfo(url);
    if (!info)
        return std::string(url);
    return masked(url, *info) + std::string(url.substr(info->end));
}

std::string UrlWithoutUserInfo(std::string_view url)
{
    const auto info = findUrlUserInfo(url);
    if (!info)
        return std::string(url);
    return std::string(url.substr(0, info->begin)) + std::string(url.substr(info->at + 1));
}

std::string RedactedText(std::string_view text)
{
    std::string out;
    std::size_t copied = 0;
    for (std::size_t at = text.find("://"); at != std::string_view::npos; at = text.find("://", at + 3)) {
        if (at == 0 || !isSchemeChar(text[at - 1]))
            continue;
        const auto info = findUserInfo(text, at, true);
        if (!info || info->colon == std::string_view::npos)
            continue;
        out += text.substr(copied, info->colon + 1 - copied);
        out += kMask;
        copied = info->at;
        at = info->end > 3 ? info->end - 3 : at;
    }
    out += text.substr(copied);
    return out;
}

} // namespace zephyrscope
