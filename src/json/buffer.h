#pragma once
// A growable byte buffer that does not zero what it reserves, so a reply can be
// received straight into it and a text parsed where it lies.

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#if defined(__linux__)
#include <sys/mman.h>
#endif
// Only Linux can grow a mapping in place (mremap) and advise huge pages.
#if defined(__linux__) && defined(MADV_HUGEPAGE) && defined(MREMAP_MAYMOVE)
#define TESSIK_MAPPED_BUFFER 1
#else
#define TESSIK_MAPPED_BUFFER 0
#endif

namespace tessik {

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
        capacity_(std::exchange(other.capacity_, 0)),
        mapped_(std::exchange(other.mapped_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { release(); }

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_ ? data_ : "", size_}; }

  // Makes room for at least `capacity` bytes in all; false when memory runs out.
  bool reserve(size_t capacity) {
    if (capacity <= capacity_) return true;
#if TESSIK_MAPPED_BUFFER
    if (capacity >= kMapFrom) return reserve_mapped(capacity);
#endif
    // One spare byte so that a NUL can always follow the contents.
    void* grown = std::realloc(data_, capacity + 1);
    if (!grown) return false;
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
  }
  // Marks the first `size` bytes (at most the capacity) as the contents.
  void set_size(size_t size) { size_ = size; }

 private:
  void release() {
#if TESSIK_MAPPED_BUFFER
    if (mapped_) {
      ::munmap(data_, mapped_);
      return;
    }
#endif
    std::free(data_);
  }

#if TESSIK_MAPPED_BUFFER
  // Large buffers are mappings of their own, advised for huge pages as a
  // whole: advice on part of a mapping would split it, and a split mapping
  // can no longer grow in place. Growing one moves page tables, not bytes.
  static constexpr size_t kMapFrom = size_t{4} << 20;

  bool reserve_mapped(size_t capacity) {
    constexpr size_t kHuge = size_t{2} << 20;
    size_t bytes = (capacity + 1 + kHuge - 1) & ~(kHuge - 1);
    void* p;
    if (mapped_) {
      p = ::mremap(data_, mapped_, bytes, MREMAP_MAYMOVE);
    } else {
      p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p != MAP_FAILED && size_) std::memcpy(p, data_, size_);
      if (p != MAP_FAILED) std::free(data_);
    }
    if (p == MAP_FAILED) return false;
    (void)::madvise(p, bytes, MADV_HUGEPAGE);  // advice only
    data_ = static_cast<char*>(p);
    mapped_ = bytes;
    capacity_ = bytes - 1;
    return true;
  }
#endif

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t mapped_ = 0;  // bytes of the buffer's own mapping, 0 when it has none
};

}  // namespace tessik
