#pragma once

#include "SampleLine.h"

#include <optional>
#include <span>
#include <string_view>

namespace zephyrscope {

struct Protocol;

// How a figure's value is written: a whole number, a number with a fixed count
// of decimals, or text (the Protocol and PlayerState columns).
enum class FigureType { Integer, Decimal, Text };

enum class MetricType { None, Gauge, Counter };

// How the report sums a figure up over a stretch of ticks that have it.
enum class Aggregation { None, Last, Mean, P95, Sum };

// Reads a figure from one tick's values, and writes it back when a log is read.
// get gives nothing where the figure cannot be known (not measured yet, or the
// protocol has none); set is null for a figure worked out from others.
struct FigureAccess {
    std::optional<double> (*get)(const SampleLine&) = nullptr;
    void (*set)(SampleLine&, double) = nullptr;
};

struct TextAccess {
    std::string_view (*get)(const SampleLine&) = nullptr;
    void (*set)(SampleLine&, std::string_view) = nullptr;
};

// One figure, said once: what it is, how the JSON log, the metrics endpoint and
// the report show it, and which protocols have it. The TSV is frozen and keeps
// its own writer (SampleLine); its eighteen columns are rows here for the
// writers that came after it.
struct Figure {
    std::string_view name; // in words, as the docs say it
    std::string_view unit; // of the value as read: "ms", "bit/s", "px", "count", ...
    FigureType type = FigureType::Integer;
    int decimals = 0;      // Decimal: in the JSON log
    bool nullable = false; // can be unknown: null in the JSON log, no series in the metrics
    // A figure of the picture or sound as decoded: unknown for an entry whose
    // streams were only parsed (NetworkFigures::transportOnly).
    bool decodedOnly = false;
    FigureAccess value;
    TextAccess text;       // Text only
    // Which protocols have it: null for every one. For the others the figure is
    // unknown, never 0.
    bool (*protocols)(const Protocol&) = nullptr;

    // The JSON log's tick: its key (null: not written), and the object it sits
    // in (null: the tick itself). column: in every tick (the TSV's columns and
    // wall_ms), so a tick without it is not read back.
    const char* jsonKey = nullptr;
    const char* jsonGroup = nullptr;
    bool column = false;

    // The metrics endpoint: a series labelled with the entry's URL and protocol,
    // value / metricDivisor in Prometheus' base unit. Families are served in
    // metricOrder, which keeps the order scrapers have always seen.
    const char* metricName = nullptr;
    MetricType metricType = MetricType::None;
    const char* metricHelp = nullptr;
    double metricDivisor = 1.0;
    int metricOrder = 0;
    // A label of the row's own ("window=\"momentary\""), for rows of one family
    // told apart by it; they share the family's HELP and TYPE, and come together
    // in metricOrder.
    const char* metricLabel = nullptr;

    // The report: the label of its line, and how the stretch's ticks are summed up.
    const char* reportLabel = nullptr;
    Aggregation aggregation = Aggregation::None;
};

// Every figure; those the JSON log writes, in the order of the tick's keys.
std::span<const Figure> allFigures();

// "last", "mean", "p95", "sum": how the report names an aggregation.
const char* AggregationName(Aggregation aggregation);

// The figure's value in one tick; the tick's protocol decides for a figure only
// some protocols have. Nothing for a Text figure.
std::optional<double> FigureValue(const Figure& figure, const SampleLine& sample);

// A transport stream's error counts carry one label per kind (TsErrorCounts), a
// shape no row has: the JSON log writes them after the tick's own keys and
// before its groups, the metrics as one family in this place of metricOrder.
inline constexpr int kTsErrorsMetricOrder = 275;

} // namespace zephyrscope
