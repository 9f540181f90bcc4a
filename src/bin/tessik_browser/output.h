#pragma once
// Result output: how each kind of result value is printed.

#include <span>
#include <string_view>

#include "json/value.h"
#include "json/writer.h"

namespace tessik {

// A sink that writes to a file descriptor in pieces the size of `buffer`.
// After the first failed write it drops everything and `failed()` is true.
class FdSink : public JsonSink {
 public:
  FdSink(int fd, std::span<char> buffer) : JsonSink(buffer), fd_(fd) {}
  ~FdSink() override { flush(); }
  bool failed() const { return failed_; }

 protected:
  void drain(std::string_view bytes) override;

 private:
  int fd_;
  bool failed_ = false;
};

// Null prints nothing; strings print raw; arrays and objects print pretty;
// everything else prints its JSON text. Each non-null result ends in a line feed.
void print_result(JsonSink& out, JsonValue result);

}  // namespace tessik
