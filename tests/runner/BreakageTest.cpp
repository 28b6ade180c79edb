// BreakageTest.cpp - when a task counts as broken or failing, and what does
// not count: 304 passes and robots.txt refusals.
#include <gtest/gtest.h>

#include "runner/Breakage.h"

using quarvex::CBreakageWatch;

namespace {

void Parsed(CBreakageWatch& watch, std::initializer_list<int> aYields)
{
    for (int n : aYields)
        watch.AddPass(CBreakageWatch::PASS_PARSED, n);
}

} // namespace

TEST(BreakageTest, ThreeEmptyPagesInARowAreBrokenUntilRecordsComeBack)
{
    CBreakageWatch watch;
    Parsed(watch, { 0, 0 });
    EXPECT_FALSE(watch.IsBroken());
    EXPECT_TRUE(watch.AddPass(CBreakageWatch::PASS_PARSED, 0));
    EXPECT_TRUE(watch.IsBroken());
    // One page with records ends it at once.
    EXPECT_TRUE(watch.AddPass(CBreakageWatch::PASS_PARSED, 4));
    EXPECT_FALSE(watch.IsBroken());
    // Two empty pages are not yet three.
    Parsed(watch, { 0, 0 });
    EXPECT_FALSE(watch.IsBroken());
}

TEST(BreakageTest, YieldUnderAFifthOfTheMedianIsBroken)
{
    CBreakageWatch watch;
    Parsed(watch, { 100, 90, 110, 100, 95, 105, 100, 100, 98, 102 });
    // 20 is exactly a fifth of the median (100): not below it.
    Parsed(watch, { 20, 20, 20 });
    EXPECT_FALSE(watch.IsBroken());
    CBreakageWatch low;
    Parsed(low, { 100, 90, 110, 100, 95, 105, 100, 100, 98, 102 });
    Parsed(low, { 19, 5 });
    EXPECT_FALSE(low.IsBroken());
    Parsed(low, { 19 });
    EXPECT_TRUE(low.IsBroken());
    EXPECT_DOUBLE_EQ(low.GetMedian(), 100);
    // A page between low ones breaks the run of three.
    CBreakageWatch mixed;
    Parsed(mixed, { 100, 100, 100, 100, 10, 50, 10 });
    EXPECT_FALSE(mixed.IsBroken());
}

TEST(BreakageTest, OnlyTheTenPagesBeforeTheLastThreeMakeTheMedian)
{
    CBreakageWatch watch;
    // Twenty old pages of 1000, then ten of 50: the median is 50 now, so 11
    // is not under a fifth of it.
    for (int i = 0; i < 20; ++i)
        Parsed(watch, { 1000 });
    for (int i = 0; i < 10; ++i)
        Parsed(watch, { 50 });
    Parsed(watch, { 11, 11, 11 });
    EXPECT_FALSE(watch.IsBroken());
    Parsed(watch, { 9, 9, 9 });
    EXPECT_TRUE(watch.IsBroken());
}

TEST(BreakageTest, UnchangedAndRefusedPassesCountForNothing)
{
    CBreakageWatch watch;
    Parsed(watch, { 0, 0 });
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(watch.AddPass(CBreakageWatch::PASS_UNCHANGED, 0));
        EXPECT_FALSE(watch.AddPass(CBreakageWatch::PASS_REFUSED, 0));
    }
    EXPECT_FALSE(watch.IsBroken());
    EXPECT_FALSE(watch.IsFailing());
    Parsed(watch, { 0 });
    EXPECT_TRUE(watch.IsBroken());
}

TEST(BreakageTest, ThreeFailedFetchesAreFailingUntilTheServerAnswers)
{
    CBreakageWatch watch;
    Parsed(watch, { 5 });
    watch.AddPass(CBreakageWatch::PASS_FAILED, 0);
    watch.AddPass(CBreakageWatch::PASS_FAILED, 0);
    // A robots.txt refusal asked nothing: the run of failures goes on.
    watch.AddPass(CBreakageWatch::PASS_REFUSED, 0);
    EXPECT_FALSE(watch.IsFailing());
    EXPECT_TRUE(watch.AddPass(CBreakageWatch::PASS_FAILED, 0));
    EXPECT_TRUE(watch.IsFailing());
    EXPECT_FALSE(watch.IsBroken());  // failed fetches say nothing of the yield
    // A 304 is an answer: the server is back.
    EXPECT_TRUE(watch.AddPass(CBreakageWatch::PASS_UNCHANGED, 0));
    EXPECT_FALSE(watch.IsFailing());
}
