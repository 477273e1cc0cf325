#pragma once

// Owning handles for the GStreamer objects the player keeps (the GLib ones are
// in GLibHandles.h). Private to player/: no public header includes this file.

#include "GLibHandles.h"
#include "PipelineReaper.h"

#include <gst/gst.h>

#include <memory>
#include <string>

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
struct TagListUnref {
    void operator()(GstTagList* tags) const { gst_tag_list_unref(tags); }
};

using ElementPtr = std::unique_ptr<GstElement, ObjectUnref>;
using PadPtr = std::unique_ptr<GstPad, ObjectUnref>;
using ClockPtr = std::unique_ptr<GstClock, ObjectUnref>;
using BusPtr = std::unique_ptr<GstBus, ObjectUnref>;
using MessagePtr = std::unique_ptr<GstMessage, MessageUnref>;
using CapsPtr = std::unique_ptr<GstCaps, CapsUnref>;
using StructurePtr = std::unique_ptr<GstStructure, StructureFree>;
using ObjectPtr = std::unique_ptr<GstObject, ObjectUnref>;
using StreamPtr = std::unique_ptr<GstStream, ObjectUnref>;
using TagListPtr = std::unique_ptr<GstTagList, TagListUnref>;

// A pipeline is brought to NULL before its last reference goes, so no
// streaming thread outlives it; the reaper does that off the calling thread.
struct PipelineRelease {
    void operator()(GstElement* pipeline) const { PipelineReaper::release(pipeline); }
};
using PipelinePtr = std::unique_ptr<GstElement, PipelineRelease>;

// Calls visit with each object the iterator yields, borrowed for the call,
// then frees the iterator.
template <typename Object, typename Visit>
void forEachObject(GstIterator* it, Visit&& visit)
{
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        visit(static_cast<Object*>(g_value_get_object(&item)));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

// A string property's value; empty when the object has no such property or it is unset.
inline std::string stringProperty(gpointer object, const char* name)
{
    if (!object || !g_object_class_find_property(G_OBJECT_GET_CLASS(object), name))
        return {};
    gchar* raw = nullptr;
    g_object_get(object, name, &raw, nullptr);
    const CharPtr value(raw);
    return value ? value.get() : "";
}

// A structure property ("stats"), owned; null when unset.
inline StructurePtr structureProperty(gpointer object, const char* name)
{
    GstStructure* raw = nullptr;
    g_object_get(object, name, &raw, nullptr);
    return StructurePtr(raw);
}

} // namespace zephyrscope::gsthandles
