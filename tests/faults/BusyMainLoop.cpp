#include "BusyMainLoop.h"

#include <glib.h>

BusyMainLoop::BusyMainLoop()
    : m_source(g_idle_source_new())
{
    g_source_set_priority(m_source, G_PRIORITY_DEFAULT);
    g_source_set_callback(m_source, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
    g_source_attach(m_source, nullptr);
}

BusyMainLoop::~BusyMainLoop()
{
    g_source_destroy(m_source);
    g_source_unref(m_source);
}
