#ifndef RTC_BASE_BASE_REF_COUNT_H_
#define RTC_BASE_BASE_REF_COUNT_H_

namespace rtc {

// What Release() reports: whether the caller dropped the last reference (and so the object is
// gone) or other holders remain.
enum class RefCountReleaseStatus { kDroppedLastRef = 0, kOtherRefsRemained = 1 };

// Interface of objects whose lifetime is managed by a reference count. Implementations are
// normally made by wrapping a class in RefCountedObject<T>; scoped_refptr holds references.
class RefCountInterface {
 public:
  virtual void AddRef() const = 0;
  virtual RefCountReleaseStatus Release() const = 0;

 protected:
  // Deletion goes through Release() only.
  virtual ~RefCountInterface() = default;
};

}  // namespace rtc

#endif  // RTC_BASE_BASE_REF_COUNT_H_
