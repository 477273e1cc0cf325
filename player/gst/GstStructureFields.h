#pragma once

#include <gst/gst.h>

#include <cstdint>

namespace zephyrscope {

// A counter field of a statistics structure; elements differ in whether they
// publish counters as 32 or 64 bits, signed (srtsrc) or not. 0 when the field
// is absent or negative.
inline std::uint64_t StructureUint64(const GstStructure* structure, const char* field)
{
    guint64 value = 0;
    if (gst_structure_get_uint64(structure, field, &value))
        return value;
    guint small = 0;
    if (gst_structure_get_uint(structure, field, &small))
        return small;
    gint64 signedValue = 0;
    if (gst_structure_get_int64(structure, field, &signedValue))
        return signedValue > 0 ? static_cast<std::uint64_t>(signedValue) : 0;
    gint signedSmall = 0;
    if (gst_structure_get_int(structure, field, &signedSmall))
        return signedSmall > 0 ? static_cast<std::uint64_t>(signedSmall) : 0;
    return 0;
}

} // namespace zephyrscope
