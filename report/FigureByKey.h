#pragma once

#include "FigureTable.h"

#include <string_view>

namespace zephyrscope::report {

// The figure table's row with this JSON key (a TSV column's key is its header
// name). For the few places the report names one figure: what the row says of
// it (label, unit, value) is then read from the row, not written again. Throws
// std::logic_error when no row has the key, which only a change of the table can cause.
const Figure& FigureByKey(std::string_view jsonKey);

} // namespace zephyrscope::report
