#pragma once
// A process-wide object that is built on first use and never destroyed. Loader threads may
// still be running while the process exits and static destructors run; an object they use
// must outlive them, so it is deliberately left in place rather than freed.
#include <new>
#include <utility>

namespace qm {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  ~NoDestructor() = default;  // the T is never destroyed

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  const T& get() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }
  T* operator->() { return &get(); }
  T& operator*() { return get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace qm
