#pragma once

// What a TCP relay forwarded between an HTTP player and its server, read back
// as requests and answers: which path each connection asked for and, as each
// chunk of the answer reached the player, how much of its body had come. The
// test server closes every connection after one answer, so a connection is one
// request and one answer. Fed the bytes in the order the relay wrote them.
// Thread: the relay's thread feeds; any thread reads (a mutex).

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zephyrscope::bench {

class RelayedAnswers {
public:
    using Clock = std::chrono::steady_clock;

    struct Answer {
        int connection = 0;
        std::string path;           // as asked, with its query
        int status = 0;             // 0 until the answer's head is whole
        long long contentLength = -1;
        long long bodyBytes = 0;    // reached the player so far
        bool whole() const { return contentLength >= 0 && bodyBytes >= contentLength; }
    };
    // A piece of one answer's body reaching the player.
    struct Piece {
        Clock::time_point at;
        std::size_t answer = 0; // index into answers()
        long long bytes = 0;
    };

    void request(int connection, const char* data, std::size_t size);
    void answer(int connection, const char* data, std::size_t size, Clock::time_point at);

    // In the order their first bytes reached the player.
    std::vector<Answer> answers() const;
    std::vector<Piece> pieces() const;

private:
    struct Link {
        std::string requestLine; // until its line ends
        bool requestRead = false;
        std::string head;        // the answer's, until its blank line
        std::size_t answer = 0;
        bool answerBegun = false;
    };

    std::size_t answerOf(int connection, Link& link);

    mutable std::mutex m_mutex;
    std::map<int, Link> m_links;
    std::vector<Answer> m_answers;
    std::vector<Piece> m_pieces;
};

} // namespace zephyrscope::bench
