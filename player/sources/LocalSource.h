#pragma once

#include <string>

namespace zephyrscope {

// Local files are opened on the main loop's thread (the sniff below, playbin3's
// file source as its pipeline starts). A FIFO, a terminal or a device would block
// that open until some writer came, and the run could be neither used nor stopped;
// only regular files are opened there. Free functions, usable from any thread.

// Why the local entry at uri cannot be played ("it is a FIFO, not a regular file"),
// or "" when it can be opened without waiting: a regular file, something that is no
// local file, or a path that does not exist (the player says why that fails).
std::string LocalSourceProblem(const std::string& uri);

// The whole text of the regular file at path, opened without waiting; "" when the
// path names anything else or cannot be read.
std::string ReadLocalText(const std::string& path);

} // namespace zephyrscope
