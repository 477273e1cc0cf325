#include "FigureTable.h"
#include "Protocol.h"
#include "SampleLine.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace zephyrscope;

namespace {

// A protocol that has the row's figure.
const Protocol* protocolOf(const Figure& figure)
{
    for (const Protocol& p : allProtocols())
        if (!figure.protocols || figure.protocols(p))
            return &p;
    return nullptr;
}

} // namespace

TEST(FigureTable, KeysAndMetricNamesAreEachSaidOnceAndFollowTheirConventions)
{
    std::set<std::string> keys, metrics;
    std::set<int> orders;
    for (const Figure& f : allFigures()) {
        SCOPED_TRACE(std::string(f.name));
        if (f.jsonKey) {
            EXPECT_TRUE(keys.insert(std::string(f.jsonGroup ? f.jsonGroup : "") + "." + f.jsonKey).second);
        }
        EXPECT_EQ(f.type == FigureType::Text, f.text.get != nullptr);
        EXPECT_EQ(f.type == FigureType::Text, f.value.get == nullptr);
        // For the protocols without it, a figure is unknown, never 0.
        EXPECT_TRUE(!f.protocols || f.nullable);
        // Unknown where nothing was decoded, never 0; and never one of the frozen columns.
        EXPECT_TRUE(!f.decodedOnly || (f.nullable && !f.column));
        if (f.metricType == MetricType::None) {
            EXPECT_EQ(f.metricName, nullptr);
            continue;
        }
        const std::string name = f.metricName;
        EXPECT_EQ(name.rfind("zephyrscope_", 0), 0u);
        // Rows of one family are told apart by their own label.
        EXPECT_TRUE(metrics.insert(name + (f.metricLabel ? std::string("{") + f.metricLabel + "}" : "")).second);
        EXPECT_NE(f.metricHelp, nullptr);
        EXPECT_EQ(name.ends_with("_total"), f.metricType == MetricType::Counter);
        EXPECT_TRUE(orders.insert(f.metricOrder).second) << f.metricOrder;
        EXPECT_NE(f.metricOrder, kTsErrorsMetricOrder);
    }
    EXPECT_FALSE(keys.empty());
}

TEST(FigureTable, TheColumnsAreTheTsvHeadersInItsOrder)
{
    std::vector<std::string> header;
    std::istringstream names(std::string(kLogHeader, sizeof kLogHeader - 2)); // without the line feed
    for (std::string name; std::getline(names, name, '\t');)
        header.push_back(name);
    std::vector<std::string> columns;
    for (const Figure& f : allFigures())
        if (f.column && std::string_view(f.jsonKey) != "wall_ms")
            columns.push_back(f.jsonKey);
    EXPECT_EQ(columns, header);
}

TEST(FigureTable, WhatIsWrittenReadsBackThroughTheSameRow)
{
    for (const Figure& f : allFigures()) {
        if (!f.value.set)
            continue;
        SCOPED_TRACE(std::string(f.name));
        SampleLine sample;
        sample.network.protocol = protocolOf(f);
        f.value.set(sample, 1234.0);
        EXPECT_EQ(FigureValue(f, sample), 1234.0);
    }
    // A figure only some protocols have is unknown for the others, set or not.
    for (const Figure& f : allFigures()) {
        if (!f.protocols || !f.value.set)
            continue;
        SampleLine sample;
        f.value.set(sample, 5.0);
        for (const Protocol& p : allProtocols()) {
            sample.network.protocol = &p;
            EXPECT_EQ(FigureValue(f, sample).has_value(), f.protocols(p)) << f.name << p.column;
        }
        sample.network.protocol = protocolNamed("GOPHER");
        EXPECT_FALSE(FigureValue(f, sample));
    }
}

// An entry played for its transport alone decoded nothing: the figures of the
// decoded picture are unknown for it, the others are as measured.
TEST(FigureTable, DecodedOnlyFiguresAreUnknownForATransportOnlyEntry)
{
    SampleLine sample;
    NetworkFigures& network = sample.network;
    network.videoWidth = 1280;
    network.framesSkipped = 3;
    int decodedOnly = 0;
    for (const Figure& f : allFigures()) {
        if (!f.value.get || f.protocols)
            continue;
        SCOPED_TRACE(std::string(f.name));
        network.transportOnly = false;
        const std::optional<double> decoded = FigureValue(f, sample);
        network.transportOnly = true;
        const std::optional<double> parsed = FigureValue(f, sample);
        if (f.decodedOnly) {
            ++decodedOnly;
            EXPECT_FALSE(parsed.has_value());
        } else {
            EXPECT_EQ(parsed, decoded);
        }
    }
    EXPECT_EQ(decodedOnly, 4); // the picture's width and height, the damaged frames and time
}
