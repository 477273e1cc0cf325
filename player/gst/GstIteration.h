#pragma once

#include <gst/gst.h>

namespace zephyrscope {

// Calls visit(T*) for each object the iterator gives (a bin's elements, an
// element's pads), then frees the iterator. A bin that changes during the walk
// ends it: what was seen stands, as each caller's next poll sees the rest.
template <typename T, typename Visit>
void forEachObject(GstIterator* it, Visit&& visit)
{
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        visit(static_cast<T*>(g_value_get_object(&item)));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

} // namespace zephyrscope
