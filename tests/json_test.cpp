// JSON text forms: the reader's failures and positions, the two written forms,
// string escapes and number text.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "json/reader.h"
#include "json/writer.h"

namespace tessik {
namespace {

std::string error_of(std::string_view text) {
  auto r = parse_json(text);
  return r ? "parsed: " + to_compact_json(r->root()) : r.error().text();
}

TEST(JsonReader, FailuresAndTheirPositions) {
  struct Case {
    std::string text;
    std::string error;
  };
  std::string deep127 = std::string(127, '[') + std::string(127, ']');
  std::string deep128 = std::string(128, '[') + std::string(128, ']');
  const std::vector<Case> cases = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"\n", "EOF while parsing a value at line 2 column 0"},
      {"  \t ", "EOF while parsing a value at line 1 column 4"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"[1,2", "EOF while parsing a list at line 1 column 4"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[,1]", "expected value at line 1 column 2"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{a:1}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
      {"01", "invalid number at line 1 column 2"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-a", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"1e309", "number out of range at line 1 column 5"},
      {"-1e309", "number out of range at line 1 column 6"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"trUe", "expected ident at line 1 column 3"},
      {"nul1", "expected ident at line 1 column 4"},
      {"NaN", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      // The text ends within the four digits: EOF, whatever the digits are.
      {"\"\\u1\"", "EOF while parsing a string at line 1 column 5"},
      {"\"ab\\uf\t", "EOF while parsing a string at line 1 column 7"},
      {"\"\\uD800\\uZ", "EOF while parsing a string at line 1 column 10"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12g4\"", "invalid escape at line 1 column 6"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      // A raw line feed in a string is placed at column 0 of the line it begins.
      {"[\"a\nb\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"/* c */ 1", "expected value at line 1 column 1"},
      {deep127, "parsed: " + deep127},
      {deep128, "recursion limit exceeded at line 1 column 128"},
      {std::string(128, '{'), "key must be a string at line 1 column 2"},
      {[] {
         std::string t = "[";
         for (int i = 0; i < 127; ++i) t += "{\"a\":";
         return t;
       }(),
       "recursion limit exceeded at line 1 column 632"},
      // Positions on later lines count line feeds of the original text, never
      // the ones that escapes decode to.
      {"[1,\n  2,\n  x]", "expected value at line 3 column 3"},
      {"[\"a\\nb\\nc\",\n\t x]", "expected value at line 2 column 3"},
      {"{\"k\\n\\n\":\"\\n\"}\n\n  ,", "trailing characters at line 3 column 3"},
      {"[1,\r\n2", "EOF while parsing a list at line 2 column 1"},
      {"[\n", "EOF while parsing a list at line 2 column 0"},
      {"\"\xC3\xA9\" x", "trailing characters at line 1 column 6"},
      {"t\n", "expected ident at line 2 column 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.error) << ::testing::PrintToString(c.text);
}

// The reader as the host sets it for the browser's messages: lone
// surrogates become U+FFFD, and containers may nest as deep as asked.
TEST(JsonReader, OptionsForTextFromElsewhere) {
  struct Case {
    std::string text;
    std::string result;  // the compact form, or the failure
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {"\"\\uD800\"", "\"" + fffd + "\""},
      {"\"\\uDC00\"", "\"" + fffd + "\""},
      {"\"a\\uD83Db\"", "\"a" + fffd + "b\""},
      {"\"\\uD83D\\uDE00\"", "\"\xF0\x9F\x98\x80\""},
      {"\"\\uDE00\\uD83D\"", "\"" + fffd + fffd + "\""},
      {"\"\\uD83D\\uD83D\\uDE00\"", "\"" + fffd + "\xF0\x9F\x98\x80\""},
      {"\"\\uD83D\\u0041\\n\"", "\"" + fffd + "A\\n\""},
      {"\"\\uD83D\\n\"", "\"" + fffd + "\\n\""},
      {"{\"k\\uDBFF\":\"\\uDBFF\\uDFFF\"}", "{\"k" + fffd + "\":\"\xF4\x8F\xBF\xBF\"}"},
      // What follows a lone half is read as always, failures included.
      {"\"\\uD83D\\uZZZZ\"", "invalid escape at line 1 column 10"},
      {"\"\\uD83D\\uDE0", "EOF while parsing a string at line 1 column 12"},
      {"\"\\uD83D", "EOF while parsing a string at line 1 column 7"},
      {std::string(5, '[') + std::string(5, ']'), "[[[[[]]]]]"},
      {std::string(6, '[') + std::string(6, ']'), "recursion limit exceeded at line 1 column 6"},
  };
  const JsonReadOptions options{.max_depth = 5, .surrogates = JsonCursor::Surrogates::replaced};
  for (const auto& c : cases) {
    auto r = parse_json(c.text, options);
    EXPECT_EQ(r ? to_compact_json(r->root()) : r.error().text(), c.result)
        << ::testing::PrintToString(c.text);
  }
}

TEST(JsonValue, NestingDepth) {
  struct Case {
    std::string text;
    size_t depth;
  };
  const std::vector<Case> cases = {
      {"1", 0},
      {"\"[[\"", 0},
      {"[]", 1},
      {"{}", 1},
      {"[1,\"a\"]", 1},
      {"[[]]", 2},
      {"{\"a\":[{}]}", 3},
      {"[[],[[[]]],{}]", 4},
      {"[{\"a\":{\"b\":[]}},[[1]]]", 4},
      {std::string(100000, '[') + std::string(100000, ']'), 100000},
  };
  for (const auto& c : cases) {
    auto r = parse_json(c.text, {.max_depth = 100000});
    ASSERT_TRUE(r) << r.error().text();
    EXPECT_EQ(nesting_depth(r->root()), c.depth) << c.text.substr(0, 40);
  }
}

TEST(JsonReader, ValuesAndTheirKinds) {
  struct Case {
    std::string text;
    JsonKind kind;
    std::string compact;
  };
  const std::vector<Case> cases = {
      {"0", JsonKind::u64, "0"},
      {"18446744073709551615", JsonKind::u64, "18446744073709551615"},
      {"18446744073709551616", JsonKind::f64, "1.8446744073709552e+19"},
      {"-9223372036854775808", JsonKind::i64, "-9223372036854775808"},
      {"-9223372036854775809", JsonKind::f64, "-9.223372036854776e+18"},
      {"-0", JsonKind::f64, "-0.0"},
      {"-0.0", JsonKind::f64, "-0.0"},
      {"1.0", JsonKind::f64, "1.0"},
      {"1e-400", JsonKind::f64, "0.0"},
      {"-1e-400", JsonKind::f64, "-0.0"},
      {"2e-324", JsonKind::f64, "0.0"},
      {"3e-324", JsonKind::f64, "5e-324"},
      {"1.7976931348623157e308", JsonKind::f64, "1.7976931348623157e+308"},
      {"123456789012345678901234567890", JsonKind::f64, "1.2345678901234568e+29"},
      {" true ", JsonKind::boolean, "true"},
      {"\r\n\tnull", JsonKind::null, "null"},
      {"\"\\u00e9\\uD83D\\uDE00\\/\"", JsonKind::string, "\"\xC3\xA9\xF0\x9F\x98\x80/\""},
      {"{\"a\":1,\"a\":2}", JsonKind::object, "{\"a\":2}"},
      {"{\"b\":1,\"a\":2,\"b\":3,\"a\":4,\"c\":5}", JsonKind::object, "{\"a\":4,\"b\":3,\"c\":5}"},
      {"{\"ok\":true}\n", JsonKind::object, "{\"ok\":true}"},
      {"{\"a\\u0000\":1,\"a\":2}", JsonKind::object, "{\"a\":2,\"a\\u0000\":1}"},
  };
  for (const auto& c : cases) {
    auto r = parse_json(c.text);
    ASSERT_TRUE(r) << c.text << ": " << r.error().text();
    EXPECT_EQ(r->root().kind(), c.kind) << c.text;
    EXPECT_EQ(to_compact_json(r->root()), c.compact) << c.text;
  }
}

TEST(JsonReader, LookupIsExactAndFindsNull) {
  auto r = parse_json(R"({"ok":null,"OK":true,"data":[1]})");
  ASSERT_TRUE(r);
  JsonValue v = r->root();
  ASSERT_NE(v.find("ok"), nullptr);
  EXPECT_TRUE(v.find("ok")->is_null());
  EXPECT_TRUE(v.find("OK")->as_bool());
  EXPECT_EQ(v.find("Ok"), nullptr);
  EXPECT_EQ(v.find("data")->find("ok"), nullptr);  // arrays have no members
}

TEST(JsonReader, StringsWithoutEscapesViewTheText) {
  ByteBuffer text(R"(["plain","esc\"aped"])");
  const char* begin = text.data();
  size_t size = text.size();
  auto r = parse_json(std::move(text));
  ASSERT_TRUE(r);
  std::string_view plain = r->root().items()[0].as_string();
  EXPECT_EQ(plain, "plain");
  EXPECT_TRUE(plain.data() > begin && plain.data() < begin + size);
  EXPECT_EQ(r->root().items()[1].as_string(), "esc\"aped");
}

TEST(JsonWriter, CompactAndPrettyForms) {
  struct Case {
    std::string text;
    std::string compact;
    std::string pretty;
  };
  const std::vector<Case> cases = {
      {"[]", "[]", "[]"},
      {"{}", "{}", "{}"},
      {"[[],{}]", "[[],{}]", "[\n  [],\n  {}\n]"},
      {R"({"b":1,"a":[true,null,{},[]],"c":"x"})", R"({"a":[true,null,{},[]],"b":1,"c":"x"})",
       "{\n  \"a\": [\n    true,\n    null,\n    {},\n    []\n  ],\n  \"b\": 1,\n  \"c\": \"x\"\n}"},
      {R"({"b":0,"B":0,"ab":0,"a":0})", R"({"B":0,"a":0,"ab":0,"b":0})",
       "{\n  \"B\": 0,\n  \"a\": 0,\n  \"ab\": 0,\n  \"b\": 0\n}"},
      {R"(["a\"b","tab\there","é","\u0001","/"])", R"(["a\"b","tab\there","é","\u0001","/"])",
       "[\n  \"a\\\"b\",\n  \"tab\\there\",\n  \"é\",\n  \"\\u0001\",\n  \"/\"\n]"},
      {R"("\b\f\n\r\t\\\u001f\u007f\u00ff")", "\"\\b\\f\\n\\r\\t\\\\\\u001f\x7f\xC3\xBF\"",
       "\"\\b\\f\\n\\r\\t\\\\\\u001f\x7f\xC3\xBF\""},
      {R"({"\u0000k":{"z":[1,[2,[3]]]}})", R"({"\u0000k":{"z":[1,[2,[3]]]}})",
       "{\n  \"\\u0000k\": {\n    \"z\": [\n      1,\n      [\n        2,\n        [\n          3\n"
       "        ]\n      ]\n    ]\n  }\n}"},
  };
  for (const auto& c : cases) {
    auto r = parse_json(c.text);
    ASSERT_TRUE(r) << c.text;
    EXPECT_EQ(to_compact_json(r->root()), c.compact) << c.text;
    EXPECT_EQ(to_pretty_json(r->root()), c.pretty) << c.text;
    // Measured, and written into a buffer after what it holds already:
    // once into room reserved to the byte, once growing from nothing.
    EXPECT_EQ(compact_json_size(r->root()), c.compact.size()) << c.text;
    for (bool reserved : {true, false}) {
      ByteBuffer out("head ");
      if (reserved) {
        ASSERT_TRUE(out.reserve(5 + c.compact.size()));
      }
      ASSERT_TRUE(append_compact_json(out, r->root()));
      EXPECT_EQ(out.view(), "head " + c.compact) << c.text;
    }
  }
  // A string longer than the sinks' own buffers goes through whole.
  const std::string long_text(100000, 'y');
  JsonValue long_string = JsonValue::string(long_text);
  EXPECT_EQ(compact_json_size(long_string), long_text.size() + 2);
  ByteBuffer out;
  ASSERT_TRUE(append_compact_json(out, long_string));
  EXPECT_EQ(out.view(), "\"" + long_text + "\"");
}

TEST(JsonWriter, NumberText) {
  struct Case {
    std::string text;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"42", "42"},
      {"-7", "-7"},
      {"1.0", "1.0"},
      {"1e2", "100.0"},
      {"2.50", "2.5"},
      {"0.1", "0.1"},
      {"123.456", "123.456"},
      {"0.001234", "0.001234"},
      {"1e-5", "0.00001"},
      {"0.000001", "1e-6"},
      {"1.5e-7", "1.5e-7"},
      {"1e15", "1000000000000000.0"},
      {"1e16", "1e+16"},
      {"123456789012345.6", "123456789012345.6"},
      {"1234567890123456.7", "1234567890123456.8"},
      {"12345678901234567.0", "1.2345678901234568e+16"},
      {"9007199254740993", "9007199254740993"},
      {"9007199254740993.0", "9007199254740992.0"},
      {"9007199254740991.0", "9007199254740991.0"},
      {"5e-324", "5e-324"},
      {"1.7976931348623157e+308", "1.7976931348623157e+308"},
      {"-2.5e-10", "-2.5e-10"},
      {"1E+2", "100.0"},
      {"0e0", "0.0"},
      {"12.5e1", "125.0"},
  };
  for (const auto& c : cases) {
    auto r = parse_json(c.text);
    ASSERT_TRUE(r) << c.text;
    EXPECT_EQ(number_text(r->root()), c.written) << c.text;
  }
  EXPECT_EQ(number_text(JsonValue::f64(std::numeric_limits<double>::infinity())), "null");
  EXPECT_EQ(number_text(JsonValue::i64(std::numeric_limits<int64_t>::min())), "-9223372036854775808");
}

TEST(JsonDocument, BuilderSortsAndCopies) {
  JsonDocument doc;
  std::string key = "zeta";
  std::vector<JsonMember> members = {
      {doc.add_string(key), JsonValue::u64(1)},
      {doc.add_string("alpha"), JsonValue::boolean(false)},
      {doc.add_string("zeta"), JsonValue::u64(2)},
  };
  doc.set_root(doc.add_object(members));
  key = "overwritten";
  EXPECT_EQ(to_compact_json(doc.root()), R"({"alpha":false,"zeta":2})");
}

TEST(JsonDocument, MovedFromIsEmptyAndOwnsNothing) {
  for (bool assign : {false, true}) {
    SCOPED_TRACE(assign ? "move assignment" : "move construction");
    JsonDocument from;
    from.set_root(from.add_string("kept"));
    std::optional<JsonDocument> to;
    if (assign) {
      to.emplace().add_string("replaced");
      *to = std::move(from);
    } else {
      to.emplace(std::move(from));
    }
    EXPECT_TRUE(from.root().is_null());
    // Each document now allocates from storage of its own.
    JsonValue left = from.add_string("left");
    JsonValue right = to->add_string("right");
    EXPECT_EQ(left.as_string(), "left");
    EXPECT_EQ(right.as_string(), "right");
    EXPECT_EQ(to->root().as_string(), "kept");
    // And the moved-from one still works once the other is gone.
    to.reset();
    EXPECT_EQ(left.as_string(), "left");
    EXPECT_EQ(from.add_string("after").as_string(), "after");
  }
}

TEST(JsonDocument, EqualityIsDeep) {
  auto a = parse_json(R"({"x":[1,-2,0.5,"s",null,true],"y":{}})");
  auto b = parse_json(R"({"y":{},"x":[1,-2,0.5,"s",null,true]})");
  auto c = parse_json(R"({"y":{},"x":[1,-2,0.5,"s",null,false]})");
  auto z = parse_json("0.0");
  auto nz = parse_json("-0.0");
  ASSERT_TRUE(a && b && c && z && nz);
  EXPECT_TRUE(a->root() == b->root());
  EXPECT_FALSE(a->root() == c->root());
  EXPECT_FALSE(z->root() == nz->root());
}

TEST(JsonReader, LongTextsAndWideContainers) {
  std::string big = "[";
  for (int i = 0; i < 100000; ++i) big += (i ? ",{\"v\":" : "{\"v\":") + std::to_string(i) + ",\"k\":\"x\"}";
  big += "]";
  auto r = parse_json(big);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->root().size(), 100000u);
  EXPECT_EQ(r->root().items()[99999].find("v")->as_u64(), 99999u);
  std::string compact = to_compact_json(r->root());
  EXPECT_EQ(compact.substr(0, 20), "[{\"k\":\"x\",\"v\":0},{\"k");
  auto again = parse_json(compact);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->root() == r->root());
}

}  // namespace
}  // namespace tessik
