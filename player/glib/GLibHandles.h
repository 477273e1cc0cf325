#pragma once

// Owning handles for the GLib objects the program keeps, and the helpers for
// GLib sources on the default context. For the player and the metrics endpoint;
// no public header includes this file.

#include <glib-object.h>
#include <glib.h>

#include <exception>
#include <memory>

namespace zephyrscope::gsthandles {

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct SourceDestroy {
    // Destroying the source detaches it from its context and drops our reference.
    void operator()(GSource* source) const
    {
        g_source_destroy(source);
        g_source_unref(source);
    }
};
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct UriUnref {
    void operator()(GUri* uri) const { g_uri_unref(uri); }
};

using CharPtr = std::unique_ptr<gchar, GFree>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using SourcePtr = std::unique_ptr<GSource, SourceDestroy>;
using UriPtr = std::unique_ptr<GUri, UriUnref>;
// A plain GObject of any type (a socket client, a TLS database, a cancellable...).
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Attaches a source to the default context, which the program's main loop runs,
// and hands back the owning handle.
inline SourcePtr attach(GSource* source, GSourceFunc callback, gpointer data)
{
    g_source_set_callback(source, callback, data, nullptr);
    g_source_attach(source, nullptr);
    return SourcePtr(source);
}

// Runs a handler called from GLib: whatever it does, nothing may unwind into GLib.
template <typename Handler>
void guarded(const char* failing, Handler&& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        g_printerr("Cannot %s: %s\n", failing, e.what());
    }
}

// A shared state handed to an asynchronous GLib call as its user data: kept
// alive until the call's callback takes it back, exactly once.
template <typename State>
gpointer holdForCallback(const std::shared_ptr<State>& state)
{
    return new std::shared_ptr<State>(state);
}

template <typename State>
std::shared_ptr<State> takeFromCallback(gpointer data)
{
    const std::unique_ptr<std::shared_ptr<State>> held(static_cast<std::shared_ptr<State>*>(data));
    return std::move(*held);
}

// The same, for a callback GLib calls many times (a pad probe, a signal): each
// call reads the state in place, and the destroy-notify drops it once at the end.
template <typename State>
State& heldState(gpointer data)
{
    return **static_cast<std::shared_ptr<State>*>(data);
}

template <typename State>
void releaseHeld(gpointer data)
{
    delete static_cast<std::shared_ptr<State>*>(data);
}

// Connects a signal's handler with a share of state as its data, dropped with the handler.
template <typename State>
gulong connectHolding(gpointer instance, const char* signal, GCallback handler, const std::shared_ptr<State>& state)
{
    return g_signal_connect_data(
        instance, signal, handler, holdForCallback(state), [](gpointer data, GClosure*) { releaseHeld<State>(data); },
        static_cast<GConnectFlags>(0));
}

} // namespace zephyrscope::gsthandles
