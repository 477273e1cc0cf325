#pragma once

#include <string>
#include <vector>

namespace zephyrscope {

inline constexpr char kOffscreenPlatform[] = "offscreen";
// Said once on stderr when the program picks the offscreen platform by itself.
inline constexpr char kHeadlessNotice[] =
    "zephyrscope: no display (DISPLAY and WAYLAND_DISPLAY are not set): running on the offscreen platform";

// The parts of the environment that say where the program could show itself.
// An empty value counts as unset, as it does for Qt and Xlib.
struct DisplayEnvironment {
    std::string display;        // DISPLAY
    std::string waylandDisplay; // WAYLAND_DISPLAY
    std::string qtPlatform;     // QT_QPA_PLATFORM
};

// True when the program must run on Qt's offscreen platform: there is no display
// to connect to and nobody named a platform or a display, neither in the
// environment nor with Qt's "-platform NAME" or "-display NAME" in arguments
// (argument 0 first). Without this Qt would abort the run for want of a display.
bool NeedsHeadlessPlatform(const DisplayEnvironment& environment, const std::vector<std::string>& arguments);

} // namespace zephyrscope
