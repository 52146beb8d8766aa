// Slot tables: hand-out order, events, per-use fields, ownership of the slot objects.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/NetTools.h"

namespace kova {
namespace {

// Counts destructor calls so tests can see exactly which objects a table freed.
struct Counted : TObject {
  explicit Counted(std::vector<std::string>* log, std::string name)
      : log_(log), name_(std::move(name)) {}
  ~Counted() override { log_->push_back("free " + name_); }
  std::vector<std::string>* log_;
  std::string name_;
};

// A class that is not a TObject, stored through TOwned like the sockets are.
struct Plain {
  explicit Plain(int* frees) : frees_(frees) {}
  virtual ~Plain() { ++*frees_; }
  int* frees_;
};

// Records every event as "<event> <index>" and creates objects named after the slot.
struct Recorder {
  std::vector<std::string> log;
  TObjectManager* table = nullptr;

  void Attach(TObjectManager& t) {
    table = &t;
    t.OnCreateItem = [this](TObject* sender, int32_t i) {
      EXPECT_EQ(sender, table);
      log.push_back("create " + std::to_string(i));
      table->Items(i).MakeObj<Counted>(&log, "obj" + std::to_string(i));
      table->Items(i).MakeObj2<Counted>(&log, "obj2_" + std::to_string(i));
    };
    t.OnAcquire = [this](TObject* sender, int32_t i) {
      EXPECT_EQ(sender, table);
      log.push_back("acquire " + std::to_string(i));
    };
    t.OnRelease = [this](TObject* sender, int32_t i) {
      EXPECT_EQ(sender, table);
      log.push_back("release " + std::to_string(i) + " tag " +
                    std::to_string(table->Items(i).Tag.load()));
    };
    t.OnDestroyItem = [this](TObject* sender, int32_t i) {
      EXPECT_EQ(sender, table);
      log.push_back("destroy " + std::to_string(i));
    };
  }
};

TEST(IndexStack, BoundsReportMinusOneAndKeepContents) {
  TIndexStack s(2);
  EXPECT_EQ(s.Pop(), -1);
  EXPECT_EQ(s.Push(5), 0);
  EXPECT_EQ(s.Push(6), 1);
  EXPECT_EQ(s.Push(7), -1);  // full: dropped
  EXPECT_EQ(s.Count(), 2);
  EXPECT_EQ(s.Pop(), 6);
  EXPECT_EQ(s.Pop(), 5);
  EXPECT_EQ(s.Pop(), -1);
  TIndexStack none(-3);
  EXPECT_EQ(none.Capacity(), 0);
  EXPECT_EQ(none.Push(1), -1);
}

TEST(ObjectManager, FreshTableHandsOutAscendingThenRefuses) {
  Recorder r;  // outlives the table, whose destruction still reports to it
  TObjectManager t(50);
  r.Attach(t);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(t.Add(2), i);
  r.log.clear();
  EXPECT_EQ(t.Add(2), -1);
  EXPECT_TRUE(r.log.empty()) << "a refused Add fired an event";
  EXPECT_EQ(t.FreeCount(), 0);
}

// Released indices come back last released first, before any never-used index.
TEST(ObjectManager, ReleasedIndicesAreReusedLastInFirstOut) {
  struct Case {
    std::vector<int> release;
    std::vector<int> next;
  };
  const std::vector<Case> cases = {
      {{7, 3}, {3, 7, 10, 11}},
      {{0, 9, 5}, {5, 9, 0, 10}},
      {{4, 4, 4}, {4, 10}},  // repeated release puts the index back once
  };
  for (const auto& c : cases) {
    TObjectManager t(50);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(t.Add(1), i);
    for (int i : c.release) t.Remove(i, false);
    std::vector<int> got;
    for (size_t k = 0; k < c.next.size(); ++k) got.push_back(t.Add(1));
    EXPECT_EQ(got, c.next);
  }
}

TEST(ObjectManager, EventsFireInOrderAndObjectsSurviveRelease) {
  Recorder r;  // outlives the table, whose destruction still reports to it
  TObjectManager t(4);
  r.Attach(t);
  ASSERT_EQ(t.Add(2), 0);
  TObject* first = t.Items(0).Obj();
  TObject* second = t.Items(0).Obj2();
  t.Items(0).Tag = 42;
  t.Remove(0, false);
  ASSERT_EQ(t.Add(2), 0);
  EXPECT_EQ(r.log, (std::vector<std::string>{"create 0", "acquire 0", "release 0 tag 42",
                                             "acquire 0"}));
  EXPECT_EQ(t.Items(0).Obj(), first);
  EXPECT_EQ(t.Items(0).Obj2(), second);
}

TEST(ObjectManager, AddResetsPerUseFieldsAndBumpsGeneration) {
  TObjectManager t(3);
  int dummy = 0;
  ASSERT_EQ(t.Add(2), 0);
  auto& slot = t.Items(0);
  EXPECT_EQ(slot.InUse.load(), 2);
  const uint32_t gen = slot.Generation.load();
  slot.Data = &dummy;
  slot.Tag = 17;
  slot.Stamp = 123456u;
  t.Remove(0, false);
  // Kept until the next Add: a late reader still sees the last use's values.
  EXPECT_EQ(slot.Tag.load(), 17);
  EXPECT_EQ(slot.InUse.load(), 0);
  EXPECT_EQ(slot.Generation.load(), gen);
  ASSERT_EQ(t.Add(7), 0);
  EXPECT_EQ(slot.InUse.load(), 7);
  EXPECT_EQ(slot.Data.load(), nullptr);
  EXPECT_EQ(slot.Tag.load(), 0);
  EXPECT_EQ(slot.Stamp.load(), 0u);
  EXPECT_NE(slot.Generation.load(), gen);
}

TEST(ObjectManager, RemoveOfFreeOrOutOfRangeSlotDoesNothing) {
  Recorder r;  // outlives the table, whose destruction still reports to it
  TObjectManager t(50);
  r.Attach(t);
  ASSERT_EQ(t.Add(2), 0);
  ASSERT_EQ(t.Add(2), 1);
  t.Remove(1, false);
  r.log.clear();
  const int freeBefore = t.FreeCount();
  for (int index : {-1, 50, 51, 1000, 1, 2, 49}) {
    t.Remove(index, true);
    EXPECT_TRUE(r.log.empty()) << "index " << index;
    EXPECT_EQ(t.FreeCount(), freeBefore) << "index " << index;
  }
  EXPECT_NE(t.Items(1).Obj2(), nullptr) << "a free slot lost its object";
  EXPECT_THROW(t.Items(50), std::out_of_range);
}

TEST(ObjectManager, RemoveCanFreeSecondObjectAndKeepFirst) {
  Recorder r;  // outlives the table, whose destruction still reports to it
  TObjectManager t(2);
  r.Attach(t);
  ASSERT_EQ(t.Add(1), 0);
  TObject* first = t.Items(0).Obj();
  t.Remove(0, true);
  EXPECT_EQ(r.log.back(), "free obj2_0");
  EXPECT_EQ(t.Items(0).Obj2(), nullptr);
  r.log.clear();
  ASSERT_EQ(t.Add(1), 0);
  // Obj is still there, so no create: the slot now runs without a second object.
  EXPECT_EQ(r.log, std::vector<std::string>{"acquire 0"});
  EXPECT_EQ(t.Items(0).Obj(), first);
}

TEST(ObjectManager, DestructionFreesEverySlotObjectWithoutRelease) {
  Recorder r;
  {
    TObjectManager t(6);
    r.Attach(t);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(t.Add(1), i);
    t.Remove(1, false);  // free but holding objects
    t.Remove(2, false);
    t.Remove(3, true);   // holding Obj only
    r.log.clear();
  }
  EXPECT_EQ(r.log, (std::vector<std::string>{
                       "destroy 0", "destroy 1", "destroy 2", "destroy 3",   // ascending
                       "free obj0", "free obj2_0", "free obj1", "free obj2_1",  // Obj then Obj2
                       "free obj2", "free obj2_2", "free obj3"}));
}

TEST(ObjectManager, DestructionWithoutHandlersStillFreesObjects) {
  std::vector<std::string> log;
  {
    TObjectManager t(3);
    ASSERT_EQ(t.Add(1), 0);
    t.Items(0).MakeObj<Counted>(&log, "a");
    t.Items(2).MakeObj2<Counted>(&log, "orphan");  // an Obj2 without an Obj is freed too
  }
  EXPECT_EQ(log, (std::vector<std::string>{"free a", "free orphan"}));
}

TEST(ObjectItem, TypedAccessAndReplacement) {
  int plainFrees = 0;
  std::vector<std::string> log;
  {
    TObjectItem item;
    Plain* p = item.MakeObj<Plain>(&plainFrees);
    EXPECT_EQ(item.Obj<Plain>(), p);
    EXPECT_EQ(item.Obj<Counted>(), nullptr) << "wrong type must not be handed out";
    EXPECT_EQ(item.Obj2<Plain>(), nullptr);
    item.MakeObj<Plain>(&plainFrees);  // replacing frees the old one
    EXPECT_EQ(plainFrees, 1);
    Counted* c = item.MakeObj2<Counted>(&log, "c");
    EXPECT_EQ(item.Obj2<Counted>(), c);
    EXPECT_EQ(item.Obj2(), static_cast<TObject*>(c));
  }
  EXPECT_EQ(plainFrees, 2);
  EXPECT_EQ(log, std::vector<std::string>{"free c"});
}

}  // namespace
}  // namespace kova
