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

TEST_F(CursorLogBuilderTest, MovesAreKeptInTimeOrderOncePerRoundedPlace) {
    builder.move(0, 0.5, 0.25);
    builder.move(10, 0.50001, 0.24999);  // rounds to the same place
    builder.move(20, 0.5, 0.2501);
    builder.move(15, 0.1, 0.1);     // earlier than the last
    builder.move(20, -0.25, 1.5);   // the same time, outside the display
    builder.move(21, NAN, 0.3);
    EXPECT_EQ(builder.finish().moves,
              (std::vector<CursorLog::Move>{{0, 0.5, 0.25}, {20, 0.5, 0.2501}, {20, -0.25, 1.5}}));
    EXPECT_EQ(roundFraction(0.00005), 0.0001);
    EXPECT_EQ(roundFraction(-0.00005), -0.0001);
}

TEST_F(CursorLogBuilderTest, ButtonsAndShapesRecordChangesOnlyWithReleasesFirst) {
    EXPECT_EQ(builder.buttons(10, {0, 1}), (std::set<int64_t>{0, 1}));
    EXPECT_TRUE(builder.buttons(11, {0, 1}).empty());
    EXPECT_TRUE(builder.buttons(20, {}).empty());
    EXPECT_EQ(builder.buttons(30, {0}), (std::set<int64_t>{0}));
    EXPECT_EQ(builder.buttons(40, {1}), (std::set<int64_t>{1}));
    for (const auto& [t, shape] : std::initializer_list<std::pair<int64_t, CursorShape>>{
             {0, CursorShape::arrow}, {5, CursorShape::arrow}, {9, CursorShape::pointer}, {12, CursorShape::arrow}})
        builder.shape(t, shape);
    const auto log = builder.finish();
    const std::vector<CursorLog::Click> expected{{10, 0, true},  {10, 1, true},  {20, 0, false}, {20, 1, false},
                                                 {30, 0, true},  {40, 0, false}, {40, 1, true}};
    EXPECT_EQ(log.clicks, expected);
    EXPECT_EQ(log.shapes.size(), 3u);
}

TEST_F(CursorLogBuilderTest, ElementsAreCutToTheDisplayAndTheirTextLimits) {
    builder.element(-1, Rect{0.1, 0.1, 0.1, 0.1}, "button", "before the take");
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

// Too many moves are halved until they fit, keeping the first and the last.
TEST(CursorLogThinning, KeepsFirstAndLastAndHalvesUntilWithinTheLimit) {
    for (const auto& [logged, kept] : std::initializer_list<std::pair<int64_t, size_t>>{{600'001, 150'001}, {300'002, 150'002}}) {
        CursorLogBuilder builder(Size{100, 100});
        for (int64_t i = 0; i < logged; ++i) builder.move(i, double(i % 10'000) / 10'000.0, double(i / 10'000) / 10'000.0);
        const auto log = builder.finish();
        ASSERT_EQ(log.moves.size(), kept) << logged;
        EXPECT_EQ(log.moves.front().t, 0);
        EXPECT_EQ(log.moves.back().t, logged - 1);
        EXPECT_EQ(builder.finish(), log) << "finish changed the builder";
    }
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
    for (CursorShape s : kAllCursorShapes) EXPECT_EQ(cursorShapeFromRaw(rawValue(s)), s);
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
    for (const auto& [what, spooled, moves] : std::vector<std::tuple<const char*, std::string, size_t>>{
             {"torn last line", text + "[\"m\",60,0.7", 2},
             {"garbage and wrong kinds", text + "{}\n[\"m\",\"x\",1,1]\n[\"m\",70]\n[\"m\",70.5,0,0]\n\xff\n", 2},
             {"earlier than the last move", text + "[\"m\",10,0.9,0.9]\n", 2},
             {"a later move", text + "[\"m\",60,0.7,0.7]\n", 3},
         }) {
        const auto read = CursorLogSpool::read(spooled);
        ASSERT_TRUE(read) << what;
        EXPECT_EQ(read->moves.size(), moves) << what;
    }
    EXPECT_EQ(CursorLogSpool::read("[\"m\",0,0.5,0.5]\n"), std::nullopt) << "no display line";
}

}  // namespace
}  // namespace brindlow
