#include "Diagnostics.h"

#include "RedactedUrl.h"

#include <glib.h>

#include <atomic>
#include <cstdio>

namespace zephyrscope {

namespace {

std::atomic<bool> g_verbose{false};

void printMasked(const gchar* text)
{
    std::fputs(RedactedText(text).c_str(), stderr);
}

} // namespace

void Diagnostics::setVerbose(bool verbose)
{
    g_verbose = verbose;
}

bool Diagnostics::verbose()
{
    const gchar* debug = g_getenv("GST_DEBUG");
    return g_verbose || (debug && *debug);
}

void Diagnostics::maskPasswordsInPrintedErrors()
{
    g_set_printerr_handler(printMasked);
}

} // namespace zephyrscope
