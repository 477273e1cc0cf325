#pragma once

// Owning handles for the GLib and GStreamer objects the player keeps. Private to
// player/: no public header includes this file.

#include "PipelineReaper.h"

#include <gst/gst.h>

#include <exception>
#include <memory>

namespace zephyrscope::gsthandles {

struct ObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
struct MessageUnref {
    void operator()(GstMessage* message) const { gst_message_unref(message); }
};
struct CapsUnref {
    void operator()(GstCaps* caps) const { gst_caps_unref(caps); }
};
struct StructureFree {
    void operator()(GstStructure* structure) const { gst_structure_free(structure); }
};
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
struct TagListUnref {
    void operator()(GstTagList* tags) const { gst_tag_list_unref(tags); }
};
struct UriUnref {
    void operator()(GUri* uri) const { g_uri_unref(uri); }
};

using ElementPtr = std::unique_ptr<GstElement, ObjectUnref>;
using PadPtr = std::unique_ptr<GstPad, ObjectUnref>;
using BusPtr = std::unique_ptr<GstBus, ObjectUnref>;
using MessagePtr = std::unique_ptr<GstMessage, MessageUnref>;
using CapsPtr = std::unique_ptr<GstCaps, CapsUnref>;
using StructurePtr = std::unique_ptr<GstStructure, StructureFree>;
using CharPtr = std::unique_ptr<gchar, GFree>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using SourcePtr = std::unique_ptr<GSource, SourceDestroy>;
using ObjectPtr = std::unique_ptr<GstObject, ObjectUnref>;
using StreamPtr = std::unique_ptr<GstStream, ObjectUnref>;
using TagListPtr = std::unique_ptr<GstTagList, TagListUnref>;
using UriPtr = std::unique_ptr<GUri, UriUnref>;
// A plain GObject of any type (a socket client, a TLS database, a cancellable...).
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// A pipeline is brought to NULL before its last reference goes, so no
// streaming thread outlives it; the reaper does that off the calling thread.
struct PipelineRelease {
    void operator()(GstElement* pipeline) const { PipelineReaper::release(pipeline); }
};
using PipelinePtr = std::unique_ptr<GstElement, PipelineRelease>;

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

} // namespace zephyrscope::gsthandles
