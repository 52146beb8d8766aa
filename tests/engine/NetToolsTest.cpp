// Slot tables: hand-out order, events, per-use fields, ownership of the slot objects.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/NetTools.h"

namespace kova {
namespace {

using Lines = std::vector<std::string>;

// Logs its own destruction, so a test sees exactly which objects a table freed and when.
struct Counted : TObject {
  Counted(Lines* log, std::string name) : log_(log), name_(std::move(name)) {}
  ~Counted() override { log_->push_back("free " + name_); }
  Lines* log_;
  std::string name_;
};

// Logs every event as "<event> <index>"; creates "a<i>" and "b<i>" as Obj and Obj2.
void Record(TObjectManager& t, Lines& log) {
  auto slot = [](TObject* sender, int32_t i) -> TObjectItem& {
    return static_cast<TObjectManager*>(sender)->Items(i);
  };
  t.OnCreateItem = [&log, slot](TObject* s, int32_t i) {
    log.push_back("create " + std::to_string(i));
    slot(s, i).MakeObj<Counted>(&log, "a" + std::to_string(i));
    slot(s, i).MakeObj2<Counted>(&log, "b" + std::to_string(i));
  };
  t.OnAcquire = [&log](TObject*, int32_t i) { log.push_back("acquire " + std::to_string(i)); };
  t.OnRelease = [&log, slot](TObject* s, int32_t i) {
    log.push_back("release " + std::to_string(i) + " tag " + std::to_string(slot(s, i).Tag.load()));
  };
  t.OnDestroyItem = [&log](TObject*, int32_t i) { log.push_back("destroy " + std::to_string(i)); };
}

TEST(ObjectManager, HandsOutAscendingThenLastReleasedFirst) {
  struct Case {
    std::vector<int> release;  // after taking 0..9
    std::vector<int> next;
  };
  const std::vector<Case> cases = {
      {{7, 3}, {3, 7, 10, 11}},
      {{0, 9, 5}, {5, 9, 0, 10}},
      {{4, 4, -1, 50}, {4, 10}},  // repeated or out-of-range releases add nothing
  };
  for (const auto& c : cases) {
    TObjectManager t(50);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(t.Add(1), i);
    for (int i : c.release) t.Remove(i, false);
    std::vector<int> got;
    for (size_t k = 0; k < c.next.size(); ++k) got.push_back(t.Add(1));
    EXPECT_EQ(got, c.next);
  }
  Lines log;
  TObjectManager full(50);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(full.Add(2), i);
  Record(full, log);
  EXPECT_EQ(full.Add(2), -1);
  EXPECT_TRUE(log.empty()) << "a refused Add fired an event";
}

TEST(ObjectManager, EventsAndPerUseFieldsAcrossReuse) {
  Lines log;  // outlives the table, whose destruction still reports to it
  TObjectManager t(4);
  Record(t, log);
  int dummy = 0;
  ASSERT_EQ(t.Add(2), 0);
  TObjectItem& slot = t.Items(0);
  TObject* first = slot.Obj();
  const uint32_t gen = slot.Generation.load();
  slot.Data = &dummy;
  slot.Tag = 42;
  slot.Stamp = 123456u;
  t.Remove(0, false);
  EXPECT_EQ(slot.Tag.load(), 42) << "kept for a late reader until the next Add";
  EXPECT_EQ(slot.InUse.load(), 0);
  ASSERT_EQ(t.Add(7), 0);
  EXPECT_EQ(log, (Lines{"create 0", "acquire 0", "release 0 tag 42", "acquire 0"}));
  EXPECT_EQ(slot.InUse.load(), 7);
  EXPECT_EQ(slot.Data.load(), nullptr);
  EXPECT_EQ(slot.Tag.load(), 0);
  EXPECT_EQ(slot.Stamp.load(), 0u);
  EXPECT_NE(slot.Generation.load(), gen);
  EXPECT_EQ(slot.Obj(), first) << "objects stay with the slot";

  // Releasing a free slot, or any out-of-range index, does nothing at all.
  log.clear();
  const int freeBefore = t.FreeCount();
  for (int index : {-1, 4, 1000, 1, 3}) t.Remove(index, true);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(t.FreeCount(), freeBefore);
  EXPECT_THROW(t.Items(4), std::out_of_range);

  // Asked to, Remove frees Obj2; the next Add keeps Obj and creates nothing.
  t.Remove(0, true);
  EXPECT_EQ(log.back(), "free b0");
  EXPECT_EQ(slot.Obj2(), nullptr);
  log.clear();
  ASSERT_EQ(t.Add(1), 0);
  EXPECT_EQ(log, Lines{"acquire 0"});
}

TEST(ObjectManager, DestructionFreesEveryObjectAndNeverReleases) {
  Lines log;
  {
    TObjectManager t(6);
    Record(t, log);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(t.Add(1), i);
    t.Remove(1, false);  // free, objects kept
    t.Remove(3, true);   // free, Obj only
    t.Items(5).MakeObj2<Counted>(&log, "orphan");  // an Obj2 without Obj is freed too
    log.clear();
  }
  EXPECT_EQ(log, (Lines{"destroy 0", "destroy 1", "destroy 2", "destroy 3",  // in use or not
                        "free a0", "free b0", "free a1", "free b1", "free a2", "free b2",
                        "free a3", "free orphan"}));
}

TEST(ObjectItem, TypedAccessToOwnedObjects) {
  struct Plain {  // not a TObject, like the sockets
    explicit Plain(int* frees) : frees_(frees) {}
    virtual ~Plain() { ++*frees_; }
    int* frees_;
  };
  int frees = 0;
  {
    TObjectItem item;
    Plain* p = item.MakeObj<Plain>(&frees);
    EXPECT_EQ(item.Obj<Plain>(), p);
    EXPECT_EQ(item.Obj<Counted>(), nullptr) << "a wrong type must not be handed out";
    EXPECT_EQ(item.Obj2<Plain>(), nullptr);
    item.MakeObj<Plain>(&frees);
    EXPECT_EQ(frees, 1) << "replacing an object frees the old one";
  }
  EXPECT_EQ(frees, 2);
}

}  // namespace
}  // namespace kova
