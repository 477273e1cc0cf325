#include "FigureByKey.h"

#include <stdexcept>
#include <string>

namespace zephyrscope::report {

const Figure& FigureByKey(std::string_view jsonKey)
{
    for (const Figure& figure : allFigures())
        if (figure.jsonKey && figure.jsonKey == jsonKey)
            return figure;
    throw std::logic_error("the figure table has no row with the JSON key '" + std::string(jsonKey) + "'");
}

} // namespace zephyrscope::report
