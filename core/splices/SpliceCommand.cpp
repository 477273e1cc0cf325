#include "SpliceCommand.h"

#include <iterator>

namespace zephyrscope {

namespace {

constexpr const char* kCommandNames[] = {"splice_null",          "splice_schedule", "splice_insert", "time_signal",
                                         "bandwidth_reservation", "private_command"};
static_assert(std::size(kCommandNames) == kSpliceCommandTypes);
constexpr const char* kSourceNames[] = {"ts", "hls", "dash"};

} // namespace

const char* SpliceCommandName(SpliceCommandType command)
{
    const auto index = static_cast<std::size_t>(command);
    return index < std::size(kCommandNames) ? kCommandNames[index] : "unknown";
}

const char* SpliceSourceName(SpliceSource source)
{
    const auto index = static_cast<std::size_t>(source);
    return index < std::size(kSourceNames) ? kSourceNames[index] : "unknown";
}

} // namespace zephyrscope
