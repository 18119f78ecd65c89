#pragma once
#include <cstddef>
#include <new>
#include <sys/mman.h>
#include <type_traits>

namespace corvane {

// An array of `count` zero-valued T taken straight from the kernel: a page
// costs nothing until it is first touched, where an allocator would clear
// the whole array at once. For large tables that fill up slowly.
template <typename T> class ZeroedArray {
  // Nothing is constructed or destroyed: for plain values (pointers,
  // integers) whose all-zero bytes are a value.
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "a plain value type");

public:
  explicit ZeroedArray(size_t count) : count_(count) {
    void* pages =
        ::mmap(nullptr, Bytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(pages);
  }
  ~ZeroedArray() { ::munmap(data_, Bytes()); }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;

  // As with a span, the elements are not part of the handle's constness.
  T& operator[](size_t i) const { return data_[i]; }
  size_t size() const { return count_; }

private:
  size_t Bytes() const { return count_ * sizeof(T); }
  size_t count_;
  T* data_ = nullptr;
};

} // namespace corvane
