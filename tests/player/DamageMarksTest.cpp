#include "DamageMarks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace zephyrscope;

namespace {

constexpr std::int64_t kFrameUs = 40000;

DamageMarks::Unit unitAt(int frame, bool key = false, bool broken = false)
{
    DamageMarks::Unit u;
    u.ptsUs = u.dtsUs = frame * kFrameUs;
    u.frameUs = kFrameUs;
    u.key = key;
    u.broken = broken;
    return u;
}

// Feeds frames [0, count) but those in lost, key frames every keyInterval; the
// frames given out that are marked damaged.
std::vector<int> damagedOf(int count, int keyInterval, const std::vector<int>& lost, DamageMarks& marks)
{
    std::vector<int> damaged;
    for (int f = 0; f < count; ++f) {
        if (std::find(lost.begin(), lost.end(), f) != lost.end())
            continue;
        marks.unitIn(unitAt(f, f % keyInterval == 0));
        if (marks.damaged(f * kFrameUs))
            damaged.push_back(f);
    }
    return damaged;
}

} // namespace

// A frame lost (a demuxer dropped it whole): the frames after it up to the next
// key frame are damaged; the key frame and what follows are whole again.
TEST(DamageMarks, AFrameLostDamagesTheFramesToTheNextKeyFrame)
{
    DamageMarks marks;
    EXPECT_EQ(damagedOf(75, 25, {30}, marks), (std::vector<int> {31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
                                                                  44, 45, 46, 47, 48, 49}));
    EXPECT_EQ(marks.losses(), 1u);
}

// A key frame lost: the whole group after it is damaged, to the key frame after.
// A loss right before a key frame damages nothing: the key frame needs nothing.
TEST(DamageMarks, AKeyFrameLostDamagesItsGroupAndALossBeforeOneNothing)
{
    DamageMarks marks;
    const std::vector<int> damaged = damagedOf(100, 25, {25, 49}, marks);
    ASSERT_EQ(damaged.size(), 23u); // 26..48; frame 50 is a whole key frame
    EXPECT_EQ(damaged.front(), 26);
    EXPECT_EQ(damaged.back(), 48);
}

// An outage of seconds is a loss too: the delta units after it lack what they
// refer to.
TEST(DamageMarks, AnOutageOfSecondsDamagesTheDeltaUnitsAfterIt)
{
    DamageMarks marks;
    EXPECT_EQ(damagedOf(200, 25, [] {
                  std::vector<int> outage;
                  for (int f = 60; f < 130; ++f)
                      outage.push_back(f);
                  return outage;
              }(),
                        marks),
              (std::vector<int> {130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143, 144, 145, 146,
                                 147, 148, 149}));
}

// No loss: nothing is damaged, and a stream's first unit marked DISCONT (every
// stream's first) is no loss.
TEST(DamageMarks, ACleanStreamHasNothingDamaged)
{
    DamageMarks marks;
    marks.unitIn(unitAt(0, true, true));
    EXPECT_FALSE(marks.damaged(0));
    EXPECT_TRUE(damagedOf(100, 25, {}, marks).empty());
    EXPECT_EQ(marks.losses(), 0u);
}

// A depayloader's DISCONT (packets lost, the unit itself maybe short of some)
// damages from that unit on, a key frame too; a GAP event for missing data from
// the next unit on. A flush forgets all.
TEST(DamageMarks, DiscontAndMissingDataDamageFromTheNextUnit)
{
    DamageMarks marks;
    marks.unitIn(unitAt(0, true));
    marks.unitIn(unitAt(1, false, true));
    marks.unitIn(unitAt(2));
    marks.unitIn(unitAt(3, true, true)); // a key frame that lost packets
    marks.unitIn(unitAt(4, true));
    EXPECT_FALSE(marks.damaged(0));
    EXPECT_TRUE(marks.damaged(1 * kFrameUs));
    EXPECT_TRUE(marks.damaged(2 * kFrameUs));
    EXPECT_TRUE(marks.damaged(3 * kFrameUs));
    EXPECT_FALSE(marks.damaged(4 * kFrameUs));
    marks.dataMissing();
    marks.unitIn(unitAt(5));
    marks.reset();
    marks.unitIn(unitAt(6));
    EXPECT_FALSE(marks.damaged(6 * kFrameUs)) << "a flush forgets the damage before it";
    marks.dataMissing();
    marks.unitIn(unitAt(7));
    EXPECT_TRUE(marks.damaged(7 * kFrameUs));
}

// A demuxer's DISCONT says data went missing before the unit, not from it
// (tsdemux hands on what it was collecting when its input broke cut short and
// unmarked, and marks the next unit it collects whole): a key frame so marked
// ends the damage; a delta unit so marked begins it. The stream's first unit
// is marked so too, and is no loss.
TEST(DamageMarks, ADemuxersDiscontDamagesFromADeltaUnitAndAKeyFrameEndsIt)
{
    DamageMarks marks;
    const auto demuxed = [](int frame, bool key) {
        DamageMarks::Unit u = unitAt(frame, key);
        u.lostBefore = true;
        return u;
    };
    std::vector<int> damaged;
    for (int f = 0; f < 75; ++f) {
        // A loss in frame 4's tail, and one in frame 24's, right before a key frame.
        marks.unitIn(f == 0 || f == 5 || f == 25 ? demuxed(f, f % 25 == 0) : unitAt(f, f % 25 == 0));
        if (marks.damaged(f * kFrameUs))
            damaged.push_back(f);
    }
    EXPECT_EQ(damaged, (std::vector<int> {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}));
    EXPECT_EQ(marks.losses(), 1u);
}
