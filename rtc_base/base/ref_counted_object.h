#ifndef RTC_BASE_BASE_REF_COUNTED_OBJECT_H_
#define RTC_BASE_BASE_REF_COUNTED_OBJECT_H_

#include <stdint.h>

#include <atomic>
#include <utility>

#include "rtc_base/base/ref_count.h"

namespace rtc {

// Adds an atomic reference count to T. The count starts at 0; the first holder (normally a
// scoped_refptr) raises it to 1, and the Release() that drops it to 0 deletes the object.
//
// AddRef/Release are declared virtual without `override` so that T need not derive from
// RefCountInterface (CopyOnWriteBuffer wraps a plain Buffer); when it does, they override it.
template <class T>
class RefCountedObject : public T {
 public:
  RefCountedObject() = default;

  template <class P0, class... Args>
  explicit RefCountedObject(P0&& p0, Args&&... args)
      : T(std::forward<P0>(p0), std::forward<Args>(args)...) {}

  RefCountedObject(const RefCountedObject&) = delete;
  RefCountedObject& operator=(const RefCountedObject&) = delete;

  virtual void AddRef() const { ref_count_.fetch_add(1, std::memory_order_relaxed); }

  virtual RefCountReleaseStatus Release() const {
    // acq_rel: the holder that deletes must see every write the other holders made before
    // they released their references.
    if (ref_count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete this;
      return RefCountReleaseStatus::kDroppedLastRef;
    }
    return RefCountReleaseStatus::kOtherRefsRemained;
  }

  // True when the caller holds the only reference, so it may change the object in place.
  virtual bool HasOneRef() const { return ref_count_.load(std::memory_order_acquire) == 1; }

 protected:
  virtual ~RefCountedObject() = default;

 private:
  mutable std::atomic<int32_t> ref_count_{0};
};

}  // namespace rtc

#endif  // RTC_BASE_BASE_REF_COUNTED_OBJECT_H_
