// Each protocol's worst cell of the matrix, as make matrix plays it: every
// figure must be exact or within the tolerance its truth documents.

#include "MatrixProtocols.h"

#include <cctype>
#include <cstdlib>

#include <gtest/gtest.h>


using namespace zephyrscope::bench;

namespace {

class MatrixWorstCell : public ::testing::TestWithParam<std::string> {};

MatrixProtocol protocolNamed(const std::string& name)
{
    for (MatrixProtocol& protocol : MatrixProtocols::all()) {
        if (protocol.name == name)
            return protocol;
    }
    return {};
}

std::vector<std::string> protocolNames()
{
    std::vector<std::string> names;
    for (const MatrixProtocol& protocol : MatrixProtocols::all())
        names.push_back(protocol.name);
    return names;
}

} // namespace

TEST_P(MatrixWorstCell, EveryFigureIsExactOrWithinItsTolerance)
{
    unsetenv("DISPLAY");
    const MatrixProtocol protocol = protocolNamed(GetParam());
    ASSERT_TRUE(protocol.play) << GetParam();
    const MatrixImpairment* impairment = MatrixImpairments::find(protocol.worstImpairment);
    ASSERT_NE(impairment, nullptr) << protocol.worstImpairment;
    const MatrixCell cell = protocol.play(*impairment);
    SCOPED_TRACE(cell.protocol + ", " + cell.impairment.label + ": relay " + cell.relayCounts);
    ASSERT_TRUE(cell.played) << cell.failure;
    EXPECT_TRUE(cell.notes.empty()) << cell.notes;
    int judged = 0;
    for (const MatrixFigure& f : cell.figures) {
        EXPECT_NE(f.verdict(), MatrixFigure::Verdict::Wrong) << f.name() << ": " << f.cellText() << "; truth: " << f.why();
        judged += f.verdict() == MatrixFigure::Verdict::NotApplicable ? 0 : 1;
    }
    // Received, lost, recovered, stalls, their length and the first frame at least.
    EXPECT_GE(judged, 6);
}

INSTANTIATE_TEST_SUITE_P(Protocols, MatrixWorstCell, ::testing::ValuesIn(protocolNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name;
                             for (const char c : info.param)
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });
