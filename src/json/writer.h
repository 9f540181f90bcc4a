#pragma once
// The text forms of values: compact, pretty, string escapes and number text.
// Writers stream into a sink that hands its bytes on in large pieces.

#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "json/value.h"

namespace tessik {

// A buffered byte sink. Subclasses give the buffer and say where full buffers go.
class JsonSink {
 public:
  JsonSink(const JsonSink&) = delete;
  JsonSink& operator=(const JsonSink&) = delete;
  virtual ~JsonSink() = default;

  void put(char c) {
    if (used_ == capacity_) flush();
    buffer_[used_++] = c;
  }
  void write(std::string_view bytes) {
    if (bytes.size() <= capacity_ - used_) {
      if (!bytes.empty()) std::memcpy(buffer_ + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
      return;
    }
    write_slow(bytes);
  }
  // Hands on everything buffered so far.
  void flush();

 protected:
  // `buffer` (not empty) must outlive the sink. It is not a member here, so
  // that each kind of sink can keep a large one off the stack.
  explicit JsonSink(std::span<char> buffer) : buffer_(buffer.data()), capacity_(buffer.size()) {}
  virtual void drain(std::string_view bytes) = 0;

 private:
  void write_slow(std::string_view bytes);

  char* buffer_;
  size_t capacity_;
  size_t used_ = 0;
};

// Collects the bytes in a string.
class StringSink : public JsonSink {
 public:
  explicit StringSink(std::string& out) : JsonSink(room_), out_(out) {}
  ~StringSink() override { flush(); }

 protected:
  void drain(std::string_view bytes) override { out_.append(bytes); }

 private:
  std::string& out_;
  // Small, as it lives on the stack: appending to a string is cheap anyway.
  char room_[512];
};

void write_compact(JsonSink& out, JsonValue value);
// Pretty form without a final line feed.
void write_pretty(JsonSink& out, JsonValue value);
// The quoted, escaped form of a string.
void write_escaped(JsonSink& out, std::string_view s);
// The text of a number value (u64, i64 or f64).
void write_number(JsonSink& out, JsonValue number);

std::string to_compact_json(JsonValue value);
// The length of the compact form of `value`, found without keeping it.
size_t compact_json_size(JsonValue value);
// Appends the compact form of `value` to `out`; false, with `out` cut back,
// when memory for it runs out. Room reserved beforehand is used as it is.
bool append_compact_json(ByteBuffer& out, JsonValue value);
std::string to_pretty_json(JsonValue value);
// Appends the quoted, escaped form of `s` to `out`.
void escape_json_string(std::string& out, std::string_view s);
std::string number_text(JsonValue number);
std::string number_text(double d);

}  // namespace tessik
