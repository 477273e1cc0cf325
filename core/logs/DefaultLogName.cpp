#include "DefaultLogName.h"

#include <cstdio>

namespace zephyrscope {

std::string DefaultLogName(const std::tm& t)
{
    char name[64];
    std::snprintf(name, sizeof name, "%04d%02d%02d%02d%02d%02d.dat", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    return name;
}

std::string DefaultLogName()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return DefaultLogName(local);
}

} // namespace zephyrscope
