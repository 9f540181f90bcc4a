#pragma once
// A growable byte buffer that does not zero what it reserves, so a reply can be
// received straight into it and a text parsed where it lies.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessik {

// Asks for huge pages behind a large block where the system does that only
// on request: a first touch of fresh memory costs a page fault per 4 KiB,
// which dominates receiving and parsing a reply of tens of megabytes.
inline void advise_huge_pages(void* block, size_t size) {
#if defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (size < 2 * kHuge) return;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHuge - 1);
  // Advice only: a refusal changes nothing but speed.
  if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(std::string_view text) {
    if (reserve(text.size()) && !text.empty()) {
      std::memcpy(data_, text.data(), text.size());
      size_ = text.size();
    }
  }
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(data_); }

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_ ? data_ : "", size_}; }

  // Makes room for at least `capacity` bytes in all; false when memory runs out.
  bool reserve(size_t capacity) {
    if (capacity <= capacity_) return true;
    // One spare byte so that a NUL can always follow the contents.
    void* grown = std::realloc(data_, capacity + 1);
    if (!grown) return false;
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    advise_huge_pages(data_, capacity_);
    return true;
  }
  // Marks the first `size` bytes (at most the capacity) as the contents.
  void set_size(size_t size) { size_ = size; }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace tessik
