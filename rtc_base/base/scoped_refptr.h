#ifndef RTC_BASE_BASE_SCOPED_REFPTR_H_
#define RTC_BASE_BASE_SCOPED_REFPTR_H_

#include <cstddef>
#include <utility>

namespace rtc {

// Holds one reference to a reference-counted object (anything with AddRef() and Release()),
// taking it on construction and dropping it on destruction.
template <class T>
class scoped_refptr {
 public:
  using element_type = T;

  scoped_refptr() = default;
  scoped_refptr(std::nullptr_t) {}  // NOLINT(runtime/explicit)
  scoped_refptr(T* p) : ptr_(p) {   // NOLINT(runtime/explicit)
    if (ptr_) ptr_->AddRef();
  }
  scoped_refptr(const scoped_refptr& r) : scoped_refptr(r.ptr_) {}
  template <typename U>
  scoped_refptr(const scoped_refptr<U>& r) : scoped_refptr(r.get()) {}  // NOLINT
  scoped_refptr(scoped_refptr&& r) noexcept : ptr_(r.release()) {}
  template <typename U>
  scoped_refptr(scoped_refptr<U>&& r) noexcept : ptr_(r.release()) {}  // NOLINT

  ~scoped_refptr() {
    if (ptr_) ptr_->Release();
  }

  T* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  T& operator*() const { return *ptr_; }
  T* operator->() const { return ptr_; }

  // Hands the reference to the caller without releasing it.
  T* release() {
    T* p = ptr_;
    ptr_ = nullptr;
    return p;
  }

  scoped_refptr& operator=(T* p) {
    // AddRef first, so that assigning the object already held keeps it alive.
    if (p) p->AddRef();
    T* old = ptr_;
    ptr_ = p;
    if (old) old->Release();
    return *this;
  }
  scoped_refptr& operator=(const scoped_refptr& r) { return *this = r.ptr_; }
  template <typename U>
  scoped_refptr& operator=(const scoped_refptr<U>& r) {
    return *this = r.get();
  }
  scoped_refptr& operator=(scoped_refptr&& r) noexcept {
    scoped_refptr(std::move(r)).swap(*this);
    return *this;
  }
  template <typename U>
  scoped_refptr& operator=(scoped_refptr<U>&& r) noexcept {
    scoped_refptr(std::move(r)).swap(*this);
    return *this;
  }

  void swap(scoped_refptr& r) noexcept { std::swap(ptr_, r.ptr_); }

 private:
  T* ptr_ = nullptr;
};

template <typename T, typename U>
bool operator==(const scoped_refptr<T>& a, const scoped_refptr<U>& b) {
  return a.get() == b.get();
}
template <typename T>
bool operator==(const scoped_refptr<T>& a, std::nullptr_t) {
  return a.get() == nullptr;
}
template <typename T, typename U>
bool operator==(const scoped_refptr<T>& a, const U* b) {
  return a.get() == b;
}

}  // namespace rtc

#endif  // RTC_BASE_BASE_SCOPED_REFPTR_H_
