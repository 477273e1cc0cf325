// Reading a relay's forwarded bytes back as HTTP requests and answers, fed in
// pieces of any size as the relay writes them.

#include "RelayedAnswers.h"

#include <gtest/gtest.h>

using namespace zephyrscope::bench;
using namespace std::chrono_literals;

namespace {

void feed(RelayedAnswers& answers, int connection, const std::string& bytes, std::size_t piece,
          RelayedAnswers::Clock::time_point at)
{
    for (std::size_t i = 0; i < bytes.size(); i += piece) {
        const std::string part = bytes.substr(i, piece);
        answers.answer(connection, part.data(), part.size(), at + std::chrono::milliseconds(i));
    }
}

} // namespace

TEST(RelayedAnswers, PairsEachConnectionsRequestWithItsAnswerAndTimesTheBodysPieces)
{
    RelayedAnswers answers;
    const auto t0 = RelayedAnswers::Clock::now();
    const std::string request = "GET /live/seg7.ts?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    answers.request(3, request.data(), 10);
    answers.request(3, request.data() + 10, request.size() - 10);
    const std::string playlist = "GET /live/index.m3u8 HTTP/1.1\r\n\r\n";
    answers.request(4, playlist.data(), playlist.size());

    const std::string body(1000, 'x');
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-length: 1000\r\n"
                             "Connection: close\r\n\r\n";
    // The head ends inside the first piece; the body comes in 300-byte pieces.
    feed(answers, 3, head + body, 300, t0);
    const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    feed(answers, 4, missing, 7, t0);

    const auto list = answers.answers();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].connection, 3);
    EXPECT_EQ(list[0].path, "/live/seg7.ts?x=1");
    EXPECT_EQ(list[0].status, 200);
    EXPECT_EQ(list[0].contentLength, 1000);
    EXPECT_EQ(list[0].bodyBytes, 1000);
    EXPECT_TRUE(list[0].whole());
    EXPECT_EQ(list[1].path, "/live/index.m3u8");
    EXPECT_EQ(list[1].status, 404);
    EXPECT_EQ(list[1].bodyBytes, 0);

    const auto pieces = answers.pieces();
    long long bytes = 0;
    for (const auto& piece : pieces) {
        EXPECT_EQ(piece.answer, 0u);
        bytes += piece.bytes;
    }
    EXPECT_EQ(bytes, 1000);
    // The first piece carried the head and the body's start; the last came 1000 ms
    // (its offset in feed's clock) after the first byte of the answer.
    ASSERT_FALSE(pieces.empty());
    ASSERT_LT(head.size(), 300u);
    EXPECT_EQ(pieces.front().bytes, static_cast<long long>(300 - head.size()));
    EXPECT_EQ(pieces.front().at, t0);
    EXPECT_EQ(pieces.back().at - t0, std::chrono::milliseconds((head.size() + body.size() - 1) / 300 * 300));
}

TEST(RelayedAnswers, AnAnswerCutShortIsNotWhole)
{
    RelayedAnswers answers;
    const std::string request = "GET /a.m4s HTTP/1.1\r\n\r\n";
    answers.request(0, request.data(), request.size());
    const std::string cut = "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + std::string(200, 'y');
    answers.answer(0, cut.data(), cut.size(), RelayedAnswers::Clock::now());
    const auto list = answers.answers();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].bodyBytes, 200);
    EXPECT_FALSE(list[0].whole());
}
