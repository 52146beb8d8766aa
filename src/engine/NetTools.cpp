#include "engine/NetTools.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kova {

TIndexStack::TIndexStack(int32_t capacity)
    : items_(new int32_t[std::max(capacity, 0)]), capacity_(std::max(capacity, 0)) {}

int32_t TIndexStack::Pop() {
  if (count_ == 0) return -1;
  return items_[--count_];
}

int32_t TIndexStack::Push(int32_t index) {
  if (count_ >= capacity_) return -1;
  items_[count_] = index;
  return count_++;
}

TObjectItem::~TObjectItem() {
  FreeObj();
  FreeObj2();
}

void TObjectItem::SetObj(TObject* obj) { Replace(obj_, obj); }
void TObjectItem::SetObj2(TObject* obj) { Replace(obj2_, obj); }

void TObjectItem::Replace(std::atomic<TObject*>& field, TObject* obj) {
  TObject* old = field.exchange(obj, std::memory_order_acq_rel);
  if (old != obj) delete old;
}

TObjectManager::TObjectManager(int32_t capacity)
    : items_(new TObjectItem[std::max(capacity, 0)]),
      capacity_(std::max(capacity, 0)),
      freeIndexes_(capacity_) {
  // Pushed highest first so that a fresh table hands out 0 first.
  for (int32_t i = capacity_ - 1; i >= 0; --i) freeIndexes_.Push(i);
}

TObjectManager::~TObjectManager() {
  for (int32_t i = 0; i < capacity_; ++i) {
    TObject* obj = items_[i].Obj();
    if (!obj) continue;
    if (OnDestroyItem) OnDestroyItem(this, i);
    // Ask every worker to end now, so that the frees below wait for them all at once, not in turn.
    if (auto* worker = dynamic_cast<TManagedThread*>(items_[i].Obj())) worker->RequestEnd();
  }
  for (int32_t i = 0; i < capacity_; ++i) {
    items_[i].FreeObj();
    items_[i].FreeObj2();
  }
}

int32_t TObjectManager::Add(int32_t inUseValue) {
  const int32_t i = freeIndexes_.Pop();
  if (i < 0) return -1;
  TObjectItem& item = items_[i];
  item.Data.store(nullptr);
  item.Tag.store(0);
  item.Stamp.store(0);
  item.Generation.fetch_add(1);
  item.InUse.store(inUseValue);
  if (!item.Obj() && OnCreateItem) OnCreateItem(this, i);
  if (OnAcquire) OnAcquire(this, i);
  return i;
}

void TObjectManager::Remove(int32_t index, bool freeObj2) {
  if (index < 0 || index >= capacity_) return;
  TObjectItem& item = items_[index];
  if (item.InUse.load() <= 0) return;
  if (OnRelease) OnRelease(this, index);
  if (freeObj2) item.FreeObj2();
  item.InUse.store(0);
  freeIndexes_.Push(index);
}

TObjectItem& TObjectManager::Items(int32_t index) {
  if (index < 0 || index >= capacity_) {
    throw std::out_of_range("slot index " + std::to_string(index));
  }
  return items_[index];
}

const TObjectItem& TObjectManager::Items(int32_t index) const {
  return const_cast<TObjectManager*>(this)->Items(index);
}

}  // namespace kova
