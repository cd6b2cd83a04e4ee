#include "CursorLog.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Support/AtomicFile.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

class CursorLogBuilderTest : public ::testing::Test {
protected:
    CursorLogBuilder builder{Size{1512, 982}};
};

TEST_F(CursorLogBuilderTest, SameRoundedPositionIsRecordedOnce) {
    builder.move(0, 0.5, 0.25);
    builder.move(10, 0.50001, 0.24999);  // rounds to the same place
    builder.move(20, 0.5, 0.2501);
    const auto log = builder.finish();
    ASSERT_EQ(log.moves.size(), 2u);
    EXPECT_EQ(log.moves[1], (CursorLog::Move{20, 0.5, 0.2501}));
}

TEST_F(CursorLogBuilderTest, EarlierMovesAreDroppedAndEqualTimesKept) {
    builder.move(100, 0.1, 0.1);
    builder.move(50, 0.2, 0.2);
    builder.move(100, 0.3, 0.3);
    builder.move(101, NAN, 0.3);
    const auto log = builder.finish();
    ASSERT_EQ(log.moves.size(), 2u);
    EXPECT_EQ(log.moves[1].x, 0.3);
}

TEST_F(CursorLogBuilderTest, MovesOutsideTheDisplayAreKept) {
    builder.move(0, -0.25, 1.5);
    EXPECT_EQ(builder.finish().moves.at(0), (CursorLog::Move{0, -0.25, 1.5}));
}

TEST(CursorLogRounding, HalvesGoAwayFromZero) {
    EXPECT_EQ(roundFraction(0.00005), 0.0001);
    EXPECT_EQ(roundFraction(-0.00005), -0.0001);
    EXPECT_EQ(roundFraction(0.12344), 0.1234);
}

TEST_F(CursorLogBuilderTest, ButtonTransitionsAreOrderedReleasesFirst) {
    EXPECT_EQ(builder.buttons(10, {0, 1}), (std::set<int64_t>{0, 1}));
    EXPECT_TRUE(builder.buttons(11, {0, 1}).empty());
    EXPECT_TRUE(builder.buttons(20, {}).empty());
    EXPECT_EQ(builder.buttons(30, {0}), (std::set<int64_t>{0}));
    EXPECT_EQ(builder.buttons(40, {1}), (std::set<int64_t>{1}));
    const auto clicks = builder.finish().clicks;
    const std::vector<CursorLog::Click> expected{{10, 0, true},  {10, 1, true},  {20, 0, false}, {20, 1, false},
                                                 {30, 0, true},  {40, 0, false}, {40, 1, true}};
    EXPECT_EQ(clicks, expected);
}

TEST_F(CursorLogBuilderTest, UnchangedShapesAreDropped) {
    builder.shape(0, CursorShape::arrow);
    builder.shape(5, CursorShape::arrow);
    builder.shape(9, CursorShape::pointer);
    builder.shape(12, CursorShape::arrow);
    EXPECT_EQ(builder.finish().shapes.size(), 3u);
}

TEST_F(CursorLogBuilderTest, ElementsAreCutToTheDisplayAndTheirTextLimits) {
    builder.element(5, Rect{1.2, 0.1, 0.3, 0.3}, "button", "outside");  // wholly outside
    builder.element(6, Rect{0.9, -0.1, 0.2, 0.2}, std::string(50, 'r'), std::string(200, 'l'));
    builder.element(4, Rect{0.1, 0.1, 0.1, 0.1}, "button", "earlier than the last");
    builder.element(7, Rect{0.5, 0.5, 0, 0.1}, "button", "no width");
    const auto log = builder.finish();
    ASSERT_EQ(log.elements.size(), 1u);
    const auto& e = log.elements[0];
    EXPECT_DOUBLE_EQ(e.x, 0.9);
    EXPECT_DOUBLE_EQ(e.y, 0);
    EXPECT_DOUBLE_EQ(e.width, 0.1);
    EXPECT_DOUBLE_EQ(e.height, 0.1);
    EXPECT_EQ(e.role, std::string(40, 'r'));
    EXPECT_EQ(e.label, std::string(120, 'l'));
}

TEST_F(CursorLogBuilderTest, FirstElementWithNegativeTimeIsDropped) {
    builder.element(-1, Rect{0.1, 0.1, 0.1, 0.1}, "button", "x");
    EXPECT_TRUE(builder.finish().elements.empty());
}

TEST(CursorLogThinning, KeepsFirstAndLastAndHalvesUntilWithinTheLimit) {
    CursorLogBuilder builder(Size{100, 100});
    for (int64_t i = 0; i < 600'001; ++i) builder.move(i, double(i % 10'000) / 10'000.0, double(i) / 600'001.0);
    const auto log = builder.finish();
    // 600,001 -> 300,001 (still above) -> 150,001.
    ASSERT_EQ(log.moves.size(), 150'001u);
    EXPECT_EQ(log.moves.front().t, 0);
    EXPECT_EQ(log.moves.back().t, 600'000);
    // finish leaves the builder as it was.
    EXPECT_EQ(builder.finish(), log);
}

TEST(CursorLogThinning, AppendsTheLastMoveWhenEvenPositionsDropIt) {
    CursorLogBuilder builder(Size{100, 100});
    for (int64_t i = 0; i < 300'002; ++i) builder.move(i, double(i % 10'000) / 10'000.0, double(i / 10'000) / 10'000.0);
    const auto log = builder.finish();
    ASSERT_EQ(log.moves.size(), 150'002u);  // 150,001 even positions + the last
    EXPECT_EQ(log.moves.back().t, 300'001);
}

TEST(CursorLogEncoding, WritesTheCompactForm) {
    CursorLogBuilder builder(Size{1512, 982});
    builder.move(0, 0.5, 0.25);
    builder.move(17, 0.5012, 0.2504);
    builder.buttons(840, {0});
    builder.buttons(912, {});
    builder.shape(0, CursorShape::arrow);
    builder.shape(420, CursorShape::pointer);
    builder.element(840, Rect{0.412, 0.1801, 0.0513, 0.0204}, "button", "Save \"now\"\n");
    EXPECT_EQ(builder.finish().encoded(),
              R"({"version":1,"display":{"width":1512,"height":982},"moves":[[0,0.5,0.25],[17,0.5012,0.2504]],)"
              R"("clicks":[[840,0,1],[912,0,0]],"shapes":[[0,"default"],[420,"pointer"]],)"
              R"("elements":[[840,0.412,0.1801,0.0513,0.0204,"button","Save \"now\"\n"]]})");
}

TEST(CursorLogEncoding, EmptyLogHasFourEmptyArraysAndParses) {
    const std::string text = CursorLogBuilder(Size{800.5, 600}).finish().encoded();
    EXPECT_EQ(text, R"({"version":1,"display":{"width":800.5,"height":600},"moves":[],"clicks":[],"shapes":[],"elements":[]})");
    EXPECT_TRUE(nlohmann::json::parse(text).at("elements").empty());
}

TEST(CursorShapes, RawValuesRoundTrip) {
    for (CursorShape s : kAllCursorShapes) EXPECT_EQ(cursorShapeFromRaw(rawValue(s)), s);
    EXPECT_EQ(rawValue(CursorShape::ewResize), "ew-resize");
    EXPECT_EQ(cursorShapeFromRaw("arrow"), std::nullopt);
}

// What recovery reads back from a take's spooled log is what the live take logged; a
// torn last line or lines that make no sense cost only themselves.
TEST(CursorLogSpool, ReadsBackWhatWasLoggedAndSkipsWhatIsTornOrWrong) {
    const auto file = std::filesystem::temp_directory_path() / ("brindlow-cursor-" + randomUUID());
    CursorLog logged;
    {
        CursorLogBuilder builder(Size{1512, 982}, std::make_shared<CursorLogSpool>(file, Size{1512, 982}));
        builder.move(0, 0.5, 0.25);
        builder.shape(0, CursorShape::text);
        builder.buttons(30, {0});
        builder.element(30, Rect{0.1, 0.2, 0.3, 0.4}, "push button", "Save \"as\"\n…");
        builder.move(40, 0.6, 0.3);
        builder.buttons(50, {});
        logged = builder.finish();
    }
    const std::string text = readFile(file).value_or("");
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::remove(file);
    EXPECT_EQ(CursorLogSpool::read(text), logged);
    struct Case {
        const char* what;
        std::string text;
        size_t moves;
    };
    for (const auto& c : std::vector<Case>{
             {"torn last line", text + "[\"m\",60,0.7", 2},
             {"garbage and wrong kinds", text + "{}\n[\"m\",\"x\",1,1]\n[\"m\",70]\n[\"m\",70.5,0,0]\n\xff\n", 2},
             {"earlier than the last move", text + "[\"m\",10,0.9,0.9]\n", 2},
             {"a later move", text + "[\"m\",60,0.7,0.7]\n", 3},
         }) {
        const auto read = CursorLogSpool::read(c.text);
        ASSERT_TRUE(read) << c.what;
        EXPECT_EQ(read->moves.size(), c.moves) << c.what;
        EXPECT_EQ(read->elements, logged.elements) << c.what;
    }
    EXPECT_EQ(CursorLogSpool::read("[\"m\",0,0.5,0.5]\n"), std::nullopt) << "no display line";
}

}  // namespace
}  // namespace brindlow
