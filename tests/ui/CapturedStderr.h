#pragma once

#include <iostream>
#include <sstream>
#include <string>

// Collects what is written to std::cerr while it lives.
class CapturedStderr {
public:
    CapturedStderr()
        : m_previous(std::cerr.rdbuf(m_text.rdbuf()))
    {
    }
    ~CapturedStderr() { std::cerr.rdbuf(m_previous); }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;

    std::string text() const { return m_text.str(); }

    // How often needle occurs in what was written.
    int count(const std::string& needle) const
    {
        const std::string all = text();
        int n = 0;
        for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + needle.size()))
            ++n;
        return n;
    }

private:
    std::ostringstream m_text;
    std::streambuf* m_previous;
};
