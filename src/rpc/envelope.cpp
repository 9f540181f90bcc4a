#include "rpc/envelope.h"

#include "json/reader.h"
#include "rpc/messages.h"

namespace tessik {

std::expected<JsonDocument, std::string> decode_exec_response(ByteBuffer text, size_t begin) {
  auto parsed = parse_json(std::move(text), begin);
  if (!parsed) return std::unexpected(kBadResponse + parsed.error().text());
  JsonDocument doc = std::move(*parsed);
  JsonValue top = doc.root();

  const JsonValue* ok = top.find("ok");
  if (!ok || !ok->is_bool() || !ok->as_bool()) {
    const JsonValue* error = top.find("error");
    if (error && error->is_string()) return std::unexpected(std::string(error->as_string()));
    return std::unexpected(kUnknownError);
  }

  const JsonValue* found = top.find("data");
  JsonValue data = found ? *found : JsonValue();
  // One level of script result is unwrapped: an object whose "ok" is a boolean.
  const JsonValue* eval_ok = data.find("ok");
  if (eval_ok && eval_ok->is_bool()) {
    if (!eval_ok->as_bool()) {
      const JsonValue* error = data.find("error");
      if (error && error->is_string()) return std::unexpected(std::string(error->as_string()));
      return std::unexpected(kEvalError);
    }
    const JsonValue* value = data.find("value");
    data = value ? *value : JsonValue();
  }
  // The result keeps viewing the parsed reply, whose ownership moves with it.
  doc.set_root(data);
  return doc;
}

std::expected<JsonDocument, std::string> decode_exec_response(std::string_view body) {
  return decode_exec_response(ByteBuffer(body));
}

}  // namespace tessik
