#include "MainLoopWait.h"

#include <glib.h>

namespace zephyrscope::testing {

namespace {
constexpr guint kWakeMs = 20;
}

bool RunMainLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    GSource* wake = g_timeout_source_new(kWakeMs);
    g_source_set_callback(wake, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
    g_source_attach(wake, nullptr);
    bool held = condition();
    while (!held && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        held = condition();
    }
    g_source_destroy(wake);
    g_source_unref(wake);
    return held;
}

void RunMainLoopFor(std::chrono::milliseconds duration)
{
    RunMainLoopUntil([] { return false; }, duration);
}

} // namespace zephyrscope::testing
