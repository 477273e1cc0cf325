#include "RelayedAnswers.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace zephyrscope::bench {

namespace {

// The value of a header in an answer's head, case-insensitive; empty when absent.
std::string headerValue(const std::string& head, const std::string& name)
{
    std::string lower(head.size(), '\0');
    std::transform(head.begin(), head.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos)
        return {};
    const auto from = at + 3 + name.size();
    const auto end = head.find("\r\n", from);
    std::string value = head.substr(from, end == std::string::npos ? std::string::npos : end - from);
    value.erase(0, value.find_first_not_of(' '));
    return value;
}

} // namespace

void RelayedAnswers::request(int connection, const char* data, std::size_t size)
{
    std::lock_guard lock(m_mutex);
    Link& link = m_links[connection];
    if (link.requestRead)
        return;
    link.requestLine.append(data, size);
    const auto end = link.requestLine.find("\r\n");
    if (end == std::string::npos)
        return;
    link.requestRead = true;
    // "GET /path?query HTTP/1.1"
    const std::string line = link.requestLine.substr(0, end);
    const auto from = line.find(' ');
    const auto to = line.rfind(' ');
    const std::string path = from != std::string::npos && to > from ? line.substr(from + 1, to - from - 1) : line;
    m_answers[answerOf(connection, link)].path = path;
}

std::size_t RelayedAnswers::answerOf(int connection, Link& link)
{
    if (!link.answerBegun) {
        link.answerBegun = true;
        link.answer = m_answers.size();
        Answer answer;
        answer.connection = connection;
        m_answers.push_back(answer);
    }
    return link.answer;
}

void RelayedAnswers::answer(int connection, const char* data, std::size_t size, Clock::time_point at)
{
    std::lock_guard lock(m_mutex);
    Link& link = m_links[connection];
    Answer& answer = m_answers[answerOf(connection, link)];
    std::size_t body = size;
    if (answer.status == 0) {
        const std::size_t before = link.head.size();
        link.head.append(data, size);
        const auto end = link.head.find("\r\n\r\n");
        if (end == std::string::npos)
            return;
        // "HTTP/1.1 200 OK"
        const auto space = link.head.find(' ');
        answer.status = space == std::string::npos ? -1 : std::atoi(link.head.c_str() + space + 1);
        const std::string length = headerValue(link.head.substr(0, end + 2), "content-length");
        answer.contentLength = length.empty() ? -1 : std::atoll(length.c_str());
        body = before + size - (end + 4);
        link.head.clear();
    }
    if (body == 0)
        return;
    answer.bodyBytes += static_cast<long long>(body);
    m_pieces.push_back({at, link.answer, static_cast<long long>(body)});
}

std::vector<RelayedAnswers::Answer> RelayedAnswers::answers() const
{
    std::lock_guard lock(m_mutex);
    return m_answers;
}

std::vector<RelayedAnswers::Piece> RelayedAnswers::pieces() const
{
    std::lock_guard lock(m_mutex);
    return m_pieces;
}

} // namespace zephyrscope::bench
