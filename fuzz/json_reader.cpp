// parse_json and both writers: round trips and positions inside the input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "properties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (auto held = tessik::fuzzing::check_json_reader(input); !held) {
    std::fprintf(stderr, "property broken: %s\n", held.error().c_str());
    std::abort();
  }
  return 0;
}
