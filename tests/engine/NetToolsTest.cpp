// Slot tables: hand-out order, events, per-use fields, ownership of the slot objects.

#include <gtest/gtest.h>

#include "engine/NetTools.h"

namespace kova {
namespace {

using Lines = std::vector<std::string>;

struct Counted : TObject {  // logs its own destruction: which objects a table freed, and when
  Counted(Lines* log, std::string name) : log_(log), name_(std::move(name)) {}
  ~Counted() override { log_->push_back("free " + name_); }
  Lines* log_;
  std::string name_;
};

// Logs every event as "<event> <index>"; creates "a<i>" and "b<i>" as Obj and Obj2.
void Record(TObjectManager& t, Lines& log) {
  auto note = [&log](std::string what) {
    return [&log, what](TObject*, int32_t i) { log.push_back(what + std::to_string(i)); };
  };
  t.OnAcquire = note("acquire ");
  t.OnDestroyItem = note("destroy ");
  t.OnCreateItem = [&log, &t](TObject*, int32_t i) {
    log.push_back("create " + std::to_string(i));
    t.Items(i).MakeObj<Counted>(&log, "a" + std::to_string(i));
    t.Items(i).MakeObj2<Counted>(&log, "b" + std::to_string(i));
  };
  t.OnRelease = [&log, &t](TObject*, int32_t i) {
    log.push_back("release " + std::to_string(i) + " tag " + std::to_string(t.Items(i).Tag.load()));
  };
}

TEST(ObjectManager, HandsOutAscendingThenLastReleasedFirst) {
  const std::pair<std::vector<int>, std::vector<int>> cases[] = {  // released after 0..9, next Adds
      {{7, 3}, {3, 7, 10, 11}}, {{0, 9, 5}, {5, 9, 0, 10}},
      {{4, 4, -1, 50}, {4, 10}},  // repeated or out-of-range releases add nothing
  };
  for (const auto& [release, next] : cases) {
    TObjectManager t(50);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(t.Add(1), i);
    for (int i : release) t.Remove(i, false);
    std::vector<int> got;
    for (size_t k = 0; k < next.size(); ++k) got.push_back(t.Add(1));
    EXPECT_EQ(got, next);
  }
  Lines log;
  TObjectManager full(50);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(full.Add(2), i);
  Record(full, log);
  EXPECT_EQ(full.Add(2), -1);
  EXPECT_TRUE(log.empty()) << "a refused Add fired an event";
}

TEST(ObjectManager, EventsPerUseFieldsAndDestruction) {
  Lines log;  // outlives the table, whose destruction still reports to it
  {
    TObjectManager t(6);
    Record(t, log);
    ASSERT_EQ(t.Add(2), 0);
    TObjectItem& slot = t.Items(0);
    TObject* first = slot.Obj();
    const uint32_t gen = slot.Generation.load();
    slot.Data = &log, slot.Tag = 42, slot.Stamp = 123456u;
    t.Remove(0, false);
    EXPECT_EQ(slot.Tag.load(), 42) << "kept for a late reader until the next Add";
    ASSERT_EQ(t.Add(7), 0);
    EXPECT_EQ(log, (Lines{"create 0", "acquire 0", "release 0 tag 42", "acquire 0"}));
    EXPECT_EQ(slot.InUse.load(), 7);
    EXPECT_EQ(slot.Data.load(), nullptr);
    EXPECT_EQ(slot.Tag.load(), 0);
    EXPECT_EQ(slot.Stamp.load(), 0u);
    EXPECT_NE(slot.Generation.load(), gen) << "a new relay on the slot must be told apart";
    EXPECT_EQ(slot.Obj(), first) << "objects stay with the slot";

    log.clear();  // releasing a free slot, or any out-of-range index, does nothing at all
    for (int index : {-1, 6, 1000, 1, 3}) t.Remove(index, true);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(t.FreeCount(), 5);

    t.Remove(0, true);  // asked to, Remove frees Obj2; the next Add keeps Obj and creates nothing
    EXPECT_EQ(log, (Lines{"release 0 tag 0", "free b0"}));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(t.Add(1), i);
    t.Remove(2, false);                            // free, objects kept
    t.Items(5).MakeObj2<Counted>(&log, "orphan");  // an Obj2 without Obj is freed too
    log.clear();
  }
  EXPECT_EQ(log, (Lines{"destroy 0", "destroy 1", "destroy 2", "destroy 3", "free a0", "free a1",
                        "free b1", "free a2", "free b2", "free a3", "free b3", "free orphan"}));  // all freed, none released
}

}  // namespace
}  // namespace kova
