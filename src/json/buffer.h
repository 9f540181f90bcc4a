#pragma once
// A growable byte buffer that does not zero what it reserves, so a reply can be
// received straight into it and a text parsed where it lies.

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

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
