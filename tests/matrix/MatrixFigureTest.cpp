#include "MatrixCell.h"
#include "MatrixFigure.h"
#include "MatrixImpairment.h"

#include <gtest/gtest.h>

using zephyrscope::bench::MatrixCell;
using zephyrscope::bench::MatrixFigure;
using zephyrscope::bench::MatrixImpairments;

TEST(MatrixFigure, EqualIsExactAndShowsTheValue)
{
    const MatrixFigure f = MatrixFigure::checked("lost", 24, 24);
    EXPECT_EQ(f.verdict(), MatrixFigure::Verdict::Exact);
    EXPECT_EQ(f.cellText(), "exact 24");
}

TEST(MatrixFigure, WithinTheToleranceSaysHowFarItReallyWas)
{
    const MatrixFigure f = MatrixFigure::checked("lost", 1421, 1435, 1.0);
    EXPECT_EQ(f.verdict(), MatrixFigure::Verdict::Within);
    EXPECT_EQ(f.verdictText(), "within 1 %");
    EXPECT_EQ(f.cellText(), "within 1 % (1421 vs 1435)");
}

TEST(MatrixFigure, BeyondTheToleranceIsWrongWithBothNumbers)
{
    const MatrixFigure f = MatrixFigure::checked("lost", 11, 1435, 1.0);
    EXPECT_EQ(f.verdict(), MatrixFigure::Verdict::Wrong);
    EXPECT_EQ(f.cellText(), "WRONG 11 vs 1435");
}

TEST(MatrixFigure, AnAbsoluteToleranceCoversCountsNearZero)
{
    EXPECT_EQ(MatrixFigure::checked("received", 943, 944, 0.0, 1.0).verdict(), MatrixFigure::Verdict::Within);
    EXPECT_EQ(MatrixFigure::checked("received", 942, 944, 0.0, 1.0).verdict(), MatrixFigure::Verdict::Wrong);
    EXPECT_EQ(MatrixFigure::checked("stall ms", 0.5, 0.0, 0.0, 1.0).verdictText(), "within 0.5");
}

TEST(MatrixFigure, ARangeIsWithinFromItsLowerToItsUpperEndAndWrongOutside)
{
    EXPECT_EQ(MatrixFigure::bounded("damaged frames", 55.0, 1, 72, "").cellText(), "within 1..72 (55)");
    EXPECT_EQ(MatrixFigure::bounded("damaged frames", 72.0, 1, 72, "").verdict(), MatrixFigure::Verdict::Within);
    EXPECT_EQ(MatrixFigure::bounded("damaged frames", 0.0, 1, 72, "").cellText(), "WRONG 0 outside 1..72");
    EXPECT_EQ(MatrixFigure::bounded("damaged frames", 73.0, 1, 72, "").verdict(), MatrixFigure::Verdict::Wrong);
    EXPECT_EQ(MatrixFigure::bounded("damaged frames", std::nullopt, 1, 72, "").verdict(),
              MatrixFigure::Verdict::Wrong);
    EXPECT_EQ(MatrixFigure::bounded("damaged frames", 0.0, 0, 0, "").verdict(), MatrixFigure::Verdict::Exact);
}

TEST(MatrixFigure, NoTruthIsNotApplicableAndNeverWrong)
{
    const MatrixFigure f = MatrixFigure::unjudged("latency ms", 2012.0, "no wall clock");
    EXPECT_EQ(f.verdict(), MatrixFigure::Verdict::NotApplicable);
    EXPECT_EQ(f.cellText(), "n/a (2012)");
    EXPECT_EQ(MatrixFigure::unjudged("latency ms", std::nullopt, "none").cellText(), "n/a");
}

TEST(MatrixCell, ACellThatDidNotPlayIsNeverWithinTolerance)
{
    MatrixCell cell;
    EXPECT_FALSE(cell.allWithinTolerance());
    cell.played = true;
    cell.figures.push_back(MatrixFigure::checked("lost", 3, 3));
    EXPECT_TRUE(cell.allWithinTolerance());
    cell.figures.push_back(MatrixFigure::checked("recovered", 2, 0));
    EXPECT_FALSE(cell.allWithinTolerance());
}

TEST(MatrixImpairments, TheLossOfRepairsIsOnlyForProtocolsThatRepair)
{
    const auto withRepairs = MatrixImpairments::forProtocol(true);
    const auto without = MatrixImpairments::forProtocol(false);
    EXPECT_EQ(withRepairs.size(), without.size() + 1);
    EXPECT_EQ(withRepairs.back().id, "repairs-lost");
    EXPECT_NE(MatrixImpairments::find("burst"), nullptr);
    EXPECT_EQ(MatrixImpairments::find("burst")->params.loss.meanBurst, 5.0);
    EXPECT_EQ(MatrixImpairments::find("nothing such"), nullptr);
}
