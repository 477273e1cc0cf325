#include "SampleLine.h"

#include "Protocol.h"

#include <charconv>
#include <initializer_list>

namespace zephyrscope {

namespace {

// The line is put together by hand rather than with snprintf: its text is exactly
// what "%lld.%d\t%4.4f\t%3d\t%2d\t%5d\t%8d\t%8d\t%8d\t%2.2f\t%8d\t%3d\t%8d\t%8d\t%8d\t%8d\t%s\t%2.2f\t%s\n"
// gives, but glibc takes its slow positional path for every call once a library in the
// process has registered a printf handler, which made formatting most of a tick's work.
// std::to_chars rounds a fixed-point value as printf does.

void appendPadded(std::string& out, const char* begin, const char* end, int width)
{
    const auto length = end - begin;
    if (length < width)
        out.append(static_cast<std::size_t>(width - length), ' ');
    out.append(begin, end);
}

} // namespace

void AppendInt(std::string& out, long long value, int width)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    appendPadded(out, buffer, result.ptr, width);
}

void AppendFixed(std::string& out, double value, int precision, int width)
{
    // Room for the largest double in fixed notation: 309 digits, sign, point and decimals.
    char buffer[330];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    appendPadded(out, buffer, result.ptr, width);
}

void FormatSampleLine(const SampleLine& s, std::string& out)
{
    struct Column {
        std::int32_t value;
        int width;
    };
    const auto appendColumns = [&out](std::initializer_list<Column> columns) {
        for (const Column& column : columns) {
            out += '\t';
            AppendInt(out, column.value, column.width);
        }
    };

    out.clear();
    // The seconds are a 64-bit count so the column stays right after 2038; until
    // then the text is that of a 32-bit count.
    AppendInt(out, static_cast<long long>(s.utcTime.seconds));
    out += '.';
    AppendInt(out, s.utcTime.milliseconds);
    out += '\t';
    AppendFixed(out, s.elapsed, 4, 4);
    const NetworkFigures& n = s.network;
    appendColumns({{n.bufferingProgress, 3}, {n.bufferingCount, 2}, {n.bufferingTime, 5}, {n.bitRate, 8},
                   {n.bandWidth, 8}, {n.maxBandwidth, 8}});
    out += '\t';
    AppendFixed(out, s.fps, 2, 2);
    appendColumns({{n.encodedFrameRate, 8}, {n.framesSkipped, 3}, {n.receivedPackets, 8}, {n.lostPackets, 8},
                   {n.recoveredPackets, 8}, {n.receptionQuality, 8}});
    out += '\t';
    out += columnOf(n.protocol);
    out += '\t';
    AppendFixed(out, s.iFramerate, 2, 2);
    out += '\t';
    if (s.stateName)
        out += s.stateName;
    out += '\n';
}

std::string FormatFps(double fps)
{
    std::string text;
    AppendFixed(text, fps, 2, 2);
    return text;
}

} // namespace zephyrscope
