#pragma once
// Fixed-capacity slot tables that hold the relay's reusable objects (sockets, workers); the
// worker and accepting thread classes are included from here.
//
// The tables are changed on the window thread only; workers read the fields of their own slots
// while that happens, so every field a worker may touch is an atomic.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace kova {

// Root of every object a slot table owns; the table frees it through this destructor.
class TObject {
 public:
  TObject() = default;
  virtual ~TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
};

// Lets a table own an object of a class that does not derive from TObject (the sockets).
template <class T>
class TOwned final : public T, public TObject {
 public:
  using T::T;
};

// Optional callback (Sender, Index); an empty function is "not assigned" and is skipped.
using TIndexEvent = std::function<void(TObject* Sender, int32_t Index)>;

// A stack of slot indices with a fixed capacity.
class TIndexStack : public TObject {
 public:
  explicit TIndexStack(int32_t capacity);

  int32_t Pop();               // top index, or -1 when empty
  int32_t Push(int32_t index);  // position stored at, or -1 (value dropped) when full
  int32_t Capacity() const { return capacity_; }
  int32_t Count() const { return count_; }

 private:
  std::unique_ptr<int32_t[]> items_;
  int32_t capacity_;
  int32_t count_ = 0;
};

// One slot. Per-use fields are reset by every Add; the objects stay from first use to the end.
class TObjectItem {
 public:
  TObjectItem() = default;
  ~TObjectItem();
  TObjectItem(const TObjectItem&) = delete;
  TObjectItem& operator=(const TObjectItem&) = delete;

  std::atomic<int32_t> InUse{0};        // 0 = free, above 0 = in use (the value given to Add)
  std::atomic<void*> Data{nullptr};     // per-use reference, not owned
  std::atomic<int32_t> Tag{0};          // per-use number
  std::atomic<uint32_t> Stamp{0};       // per-use ms tick; 0 = not yet stamped
  std::atomic<uint32_t> Generation{0};  // bumped by every Add: names one use of the slot

  // Owned objects. Obj<T>() / Obj2<T>() give the stored object as T, or nullptr when the slot
  // holds none or holds another type; Obj() / Obj2() give it as TObject.
  template <class T = TObject>
  T* Obj() const {
    return Cast<T>(obj_.load(std::memory_order_acquire));
  }
  template <class T = TObject>
  T* Obj2() const {
    return Cast<T>(obj2_.load(std::memory_order_acquire));
  }
  // Create the slot's object (any previous one is freed) and return it as T.
  template <class T, class... Args>
  T* MakeObj(Args&&... args) {
    auto* p = New<T>(std::forward<Args>(args)...);
    SetObj(p);
    return p;
  }
  template <class T, class... Args>
  T* MakeObj2(Args&&... args) {
    auto* p = New<T>(std::forward<Args>(args)...);
    SetObj2(p);
    return p;
  }
  // Take ownership of an object (nullptr empties the field); the previous object is freed.
  void SetObj(TObject* obj);
  void SetObj2(TObject* obj);
  void FreeObj() { SetObj(nullptr); }
  void FreeObj2() { SetObj2(nullptr); }

 private:
  template <class T>
  static T* Cast(TObject* p) {
    if constexpr (std::is_same_v<T, TObject>) {
      return p;
    } else {
      return dynamic_cast<T*>(p);
    }
  }
  template <class T, class... Args>
  static auto* New(Args&&... args) {
    if constexpr (std::is_base_of_v<TObject, T>) {
      return new T(std::forward<Args>(args)...);
    } else {
      return new TOwned<T>(std::forward<Args>(args)...);
    }
  }
  static void Replace(std::atomic<TObject*>& field, TObject* obj);

  std::atomic<TObject*> obj_{nullptr};
  std::atomic<TObject*> obj2_{nullptr};
};

// A table of Capacity slots with a stack of free indices: a fresh table hands out 0, 1, 2, ...;
// released indices come back last released first. Add, Remove, creation and destruction run on
// one thread (the window thread); other threads only read slot fields and write Stamp.
class TObjectManager : public TObject {
 public:
  explicit TObjectManager(int32_t capacity);
  // OnDestroyItem for every slot holding an Obj, ascending (OnRelease never fires); then every
  // slot's Obj and Obj2 are freed, ascending. All workers are told to end before any is waited for.
  ~TObjectManager() override;

  // Takes a free slot and marks it with inUseValue (callers pass a value above 0): Data, Tag and
  // Stamp reset, Generation bumped, OnCreateItem if the slot has no Obj yet, then OnAcquire.
  // -1 (and no event) when the table is full.
  int32_t Add(int32_t inUseValue);
  // Releases a slot in use: OnRelease (per-use fields still set), Obj2 freed if asked, InUse 0,
  // index pushed. Out-of-range indices and free slots are ignored.
  void Remove(int32_t index, bool freeObj2);

  TObjectItem& Items(int32_t index);  // throws std::out_of_range
  const TObjectItem& Items(int32_t index) const;
  int32_t Capacity() const { return capacity_; }
  int32_t FreeCount() const { return freeIndexes_.Count(); }

  TIndexEvent OnRelease;
  TIndexEvent OnCreateItem;
  TIndexEvent OnDestroyItem;
  TIndexEvent OnAcquire;

 private:
  std::unique_ptr<TObjectItem[]> items_;
  int32_t capacity_;
  TIndexStack freeIndexes_;
};

}  // namespace kova

#include "engine/ManagedThread.h"  // IWYU pragma: export
#include "engine/ListenThread.h"   // IWYU pragma: export
