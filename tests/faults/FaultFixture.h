#pragma once

#include "LogCheck.h"
#include "MediaFactory.h"
#include "ProgramProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace zephyrscope::testing {

// A fresh folder with generated media for each case, and the checks every
// unattended fault run shares.
class FaultFixture : public ::testing::Test {
protected:
    // A short clip, so that a run that plays it to the end stays short.
    std::filesystem::path shortClip(const std::string& fileName, double seconds = 2.0);

    ProgramProcess::Options options(const QStringList& arguments) const;
    // Runs the program to its end, bounded.
    ProgramResult run(const QStringList& arguments, int timeoutMs = 60000) const;

    std::filesystem::path path(const std::string& name) const { return media.dir() / name; }

    // The reason the program gave in a "Cannot play '<name>': <reason>" line whose
    // name contains url, or nullopt when there is no such line on stderr.
    static std::optional<std::string> playFailure(const ProgramResult& result, const std::string& url);

    // An unattended run where nothing could be played: it ended by itself with
    // status 3 after saying which URL failed and why, and its log holds whole
    // lines and no media block.
    // Returns the reason the run gave for the URL.
    std::string expectNothingPlayed(const ProgramResult& result, const std::string& url, const std::string& log);

    // A port on the loopback address that nothing listens on.
    static int closedPort();

    MediaFactory media;
};

} // namespace zephyrscope::testing
