#pragma once

#include <gst/gst.h>

#include <cstdint>

namespace zephyrscope {

// A counter field of a statistics structure; elements differ in whether they
// publish counters as 32 or 64 bits. 0 when the field is absent.
inline std::uint64_t StructureUint64(const GstStructure* structure, const char* field)
{
    guint64 value = 0;
    if (gst_structure_get_uint64(structure, field, &value))
        return value;
    guint small = 0;
    if (gst_structure_get_uint(structure, field, &small))
        return small;
    return 0;
}

} // namespace zephyrscope
