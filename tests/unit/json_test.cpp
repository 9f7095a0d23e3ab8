// The forgiving JSON reader: values, recovery rules and the warnings it
// writes on standard output.
#include <gtest/gtest.h>

#include <cstdio>
#include <locale>
#include <sstream>
#include <string>

#include "integrity/json.h"

namespace {

using Kind = JsonValue::Kind;

struct Parsed {
  JsonValue value;
  std::string out;  // everything written on standard output
};

Parsed Parse(const std::string& text) {
  Parsed result;
  testing::internal::CaptureStdout();
  ParseJsonText(text, &result.value);
  result.out = testing::internal::GetCapturedStdout();
  return result;
}

std::string InvalidChar(char c) { return std::string("Invalid character found: '") + c + "'\n"; }

TEST(JsonReader, SignatureRecord) {
  Parsed p = Parse("{\"sign\":\"0A1b\"}");
  ASSERT_EQ(p.value.kind(), Kind::kObject);
  ASSERT_EQ(p.value.AsObject().size(), 1u);
  EXPECT_EQ(p.value.AsObject().at("sign").AsString(), "0A1b");
  EXPECT_EQ(p.out, "");

  p = Parse(" {\n\t\"sign\" :\r \"ab\" , \"other\": [1, {\"x\": null}], \"t\": true, \"f\": false }");
  ASSERT_EQ(p.value.kind(), Kind::kObject);
  const auto& members = p.value.AsObject();
  EXPECT_EQ(members.at("sign").AsString(), "ab");
  EXPECT_EQ(members.at("t").kind(), Kind::kBool);
  EXPECT_TRUE(members.at("t").AsBool());
  EXPECT_EQ(members.at("f").kind(), Kind::kBool);
  EXPECT_FALSE(members.at("f").AsBool());
  ASSERT_EQ(members.at("other").AsArray().size(), 2u);
  EXPECT_EQ(members.at("other").AsArray()[1].AsObject().at("x").kind(), Kind::kNull);
  EXPECT_EQ(p.out, "");
}

TEST(JsonReader, ZeroByteScreen) {
  // UTF-16LE without a byte-order mark.
  const std::string utf16("{\0\"\0s\0\"\0:\0\"\0x\0\"\0}\0", 18);
  Parsed p = Parse(utf16);
  EXPECT_EQ(p.value.kind(), Kind::kNull);
  EXPECT_EQ(p.out, "File is not in UTF-8, not parsing.\n");

  // The screen runs for nested values too: the member stays null.
  p = Parse(std::string("{\"a\":\0\"}", 8));
  ASSERT_EQ(p.value.kind(), Kind::kObject);
  EXPECT_EQ(p.value.AsObject().at("a").kind(), Kind::kNull);
  EXPECT_EQ(p.out.find("File is not in UTF-8, not parsing.\n"), 0u);
}

TEST(JsonReader, ArraySeparatorsAndPlaceholders) {
  Parsed p = Parse("[1,,2]");
  ASSERT_EQ(p.value.AsArray().size(), 2u);
  EXPECT_EQ(p.value.AsArray()[0].AsInteger(), 1);
  EXPECT_EQ(p.value.AsArray()[1].AsInteger(), 2);
  EXPECT_EQ(p.out, InvalidChar(','));

  p = Parse("[x]");
  EXPECT_EQ(p.value.kind(), Kind::kArray);
  EXPECT_TRUE(p.value.AsArray().empty());
  EXPECT_EQ(p.out, InvalidChar('x') + InvalidChar(']'));

  p = Parse("[1,x,2]");
  ASSERT_EQ(p.value.AsArray().size(), 2u);
  EXPECT_EQ(p.value.AsArray()[0].AsInteger(), 1);
  EXPECT_EQ(p.value.AsArray()[1].AsInteger(), 2);
  EXPECT_EQ(p.out, InvalidChar('x') + InvalidChar(','));

  p = Parse("[ ]");
  EXPECT_EQ(p.value.kind(), Kind::kArray);
  EXPECT_TRUE(p.value.AsArray().empty());

  // Unterminated: the elements read so far stay.
  p = Parse("[1, \"a\", [2, 3");
  ASSERT_EQ(p.value.AsArray().size(), 3u);
  EXPECT_EQ(p.value.AsArray()[1].AsString(), "a");
  EXPECT_EQ(p.value.AsArray()[2].AsArray().size(), 1u);  // "3" has no second character
}

TEST(JsonReader, ObjectMembers) {
  Parsed p = Parse("{\"a\":1,\"a\":\"two\"}");
  ASSERT_EQ(p.value.AsObject().size(), 1u);
  EXPECT_EQ(p.value.AsObject().at("a").kind(), Kind::kString);
  EXPECT_EQ(p.value.AsObject().at("a").AsString(), "two");

  // Keys come out ordered by byte comparison.
  p = Parse("{\"b\":1,\"a\":2,\"B\":3}");
  std::string order;
  for (const auto& member : p.value.AsObject()) order += member.first;
  EXPECT_EQ(order, "Bab");

  // A member without a colon is dropped along with the character read in its place.
  p = Parse("{\"a\" 1, \"b\": 2}");
  EXPECT_EQ(p.value.AsObject().count("a"), 0u);
  EXPECT_EQ(p.value.AsObject().at("b").AsInteger(), 2);

  p = Parse("{x \"a\": 3}");
  EXPECT_EQ(p.value.AsObject().at("a").AsInteger(), 3);
  EXPECT_EQ(p.out, "Expected '\"', got 'x', ignoring it.\n");

  // Unterminated object keeps its members.
  p = Parse("{\"a\": \"x\", \"b\": [true");
  EXPECT_EQ(p.value.AsObject().at("a").AsString(), "x");
  EXPECT_EQ(p.value.AsObject().at("b").AsArray().size(), 1u);
}

TEST(JsonReader, Numbers) {
  Parsed p = Parse("1-2");
  EXPECT_EQ(p.value.kind(), Kind::kInteger);
  EXPECT_EQ(p.value.AsInteger(), 12);
  EXPECT_EQ(p.out, "Expected a digit, '.', 'e' or 'E', got '-' instead, ignoring it.\n");

  p = Parse("1.5e-3");
  EXPECT_EQ(p.value.kind(), Kind::kReal);
  EXPECT_DOUBLE_EQ(p.value.AsReal(), 0.0015);
  p = Parse("15");
  EXPECT_EQ(p.value.kind(), Kind::kInteger);
  EXPECT_EQ(p.value.AsInteger(), 15);
  p = Parse("1.2.3");
  EXPECT_EQ(p.value.kind(), Kind::kReal);
  EXPECT_DOUBLE_EQ(p.value.AsReal(), 1.23);
  EXPECT_EQ(p.out, "");
  p = Parse("-42 ");
  EXPECT_EQ(p.value.AsInteger(), -42);
  p = Parse("2E+2e5 ");  // the second exponent mark is dropped
  EXPECT_EQ(p.value.kind(), Kind::kReal);
  EXPECT_DOUBLE_EQ(p.value.AsReal(), 2e25);
  p = Parse("[9223372036854775807, -9223372036854775808, 0.5, 10]");
  ASSERT_EQ(p.value.AsArray().size(), 4u);
  EXPECT_EQ(p.value.AsArray()[0].AsInteger(), INT64_MAX);
  EXPECT_EQ(p.value.AsArray()[1].AsInteger(), INT64_MIN);
  EXPECT_DOUBLE_EQ(p.value.AsArray()[2].AsReal(), 0.5);
  EXPECT_EQ(p.value.AsArray()[3].AsInteger(), 10);

  // "00": the number is the first zero, the second one is left in the input.
  p = Parse("[00]");
  ASSERT_EQ(p.value.AsArray().size(), 1u);
  EXPECT_EQ(p.value.AsArray()[0].AsInteger(), 0);
  std::istringstream in("007");
  JsonValue v;
  ParseJsonValue(in, &v);
  EXPECT_EQ(v.AsInteger(), 0);
  EXPECT_EQ(in.get(), '0');
}

TEST(JsonReader, StringEscapes) {
  Parsed p = Parse("\"\\u00e9\"");
  EXPECT_EQ(p.value.AsString(), "\xC3\xA9");
  p = Parse("\"a\\u12G4b\"");
  EXPECT_EQ(p.value.AsString(), "ab");
  EXPECT_EQ(p.out, "Invalid \\u character, skipping it.\n");
  p = Parse("\"a\\qb\"");
  EXPECT_EQ(p.value.AsString(), "ab");
  EXPECT_EQ(p.out, "");
  p = Parse("\"\\\"\\/\\\\\\b\\f\\n\\r\\t\\u0041\\u07FF\\uFFFF\\uD83D\"");
  EXPECT_EQ(p.value.AsString(), "\"/\\\b\f\n\r\tA\xDF\xBF\xEF\xBF\xBF\xED\xA0\xBD");
  p = Parse("\"caf\xC3\xA9\"");  // UTF-8 passes through
  EXPECT_EQ(p.value.AsString(), "caf\xC3\xA9");
  p = Parse("\"unterminated");
  EXPECT_EQ(p.value.kind(), Kind::kString);
  EXPECT_EQ(p.value.AsString(), "");
}

TEST(JsonReader, Literals) {
  Parsed p = Parse("tru");
  EXPECT_EQ(p.value.kind(), Kind::kNull);
  EXPECT_EQ(p.out, "");
  p = Parse("nul");
  EXPECT_EQ(p.value.kind(), Kind::kNull);
  EXPECT_EQ(p.out, "json input ends incorrectly\n");

  // The value is left unchanged, not reset, when nothing usable is found.
  JsonValue v;
  v.SetInteger(7);
  testing::internal::CaptureStdout();
  ParseJsonText("nul", &v);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(v.AsInteger(), 7);

  // A wrong letter is consumed; scanning resumes behind it.
  p = Parse("nxll");
  EXPECT_EQ(p.value.kind(), Kind::kNull);
  EXPECT_EQ(p.out, "invalid characters found\n" + InvalidChar('l') + InvalidChar('l'));
  p = Parse("tXue 5 ");
  EXPECT_EQ(p.value.AsInteger(), 5);
  EXPECT_EQ(p.out, InvalidChar('u') + InvalidChar('e'));
  p = Parse("false");
  EXPECT_EQ(p.value.kind(), Kind::kBool);
  EXPECT_FALSE(p.value.AsBool());
  p = Parse("[null]");
  ASSERT_EQ(p.value.AsArray().size(), 1u);
  EXPECT_EQ(p.value.AsArray()[0].kind(), Kind::kNull);
}

TEST(JsonReader, DeepNestingStopsWithAMessage) {
  // Far deeper than any stack could take one frame per level.
  const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
  Parsed p = Parse(deep);
  EXPECT_EQ(p.out, "json nesting too deep, not parsing.\n");
  int levels = 0;
  const JsonValue* v = &p.value;
  while (v->kind() == Kind::kArray) {
    ++levels;
    if (v->AsArray().empty()) break;
    v = &v->AsArray()[0];
  }
  EXPECT_EQ(levels, kJsonMaxDepth + 1);

  // Objects too, and the text behind the deep value is still read.
  std::string objects;
  for (int i = 0; i < 5000; ++i) objects += "{\"k\":";
  objects += "1";
  objects += std::string(5000, '}');
  p = Parse("[" + objects + ", 7]");
  EXPECT_EQ(p.out, "json nesting too deep, not parsing.\n");
  ASSERT_EQ(p.value.AsArray().size(), 2u);
  EXPECT_EQ(p.value.AsArray()[1].AsInteger(), 7);
}

TEST(JsonValueTest, KindsAccessorsAndCopies) {
  JsonValue v;
  EXPECT_EQ(v.kind(), Kind::kNull);
  EXPECT_TRUE(v.AsObject().empty());
  EXPECT_TRUE(v.AsString().empty());
  v.SetString("x");
  EXPECT_TRUE(v.AsObject().empty());
  v.SetObject();
  (*v.MutableObject())["a"].SetString("b");
  JsonValue copy = v;
  (*v.MutableObject())["a"].SetInteger(1);
  EXPECT_EQ(copy.AsObject().at("a").AsString(), "b");
  EXPECT_EQ(v.AsString(), "");

  // Assigning a value its own child keeps the child's content.
  JsonValue tree;
  ParseJsonText("[[1,2],3]", &tree);
  tree = tree.AsArray()[0];
  ASSERT_EQ(tree.AsArray().size(), 2u);
  EXPECT_EQ(tree.AsArray()[1].AsInteger(), 2);
  JsonValue moved;
  ParseJsonText("{\"a\":{\"b\":true}}", &moved);
  moved = std::move((*moved.MutableObject())["a"]);
  EXPECT_TRUE(moved.AsObject().at("b").AsBool());
}

}  // namespace

namespace {

std::string Dump(const JsonValue& value) {
  char real[40];
  switch (value.kind()) {
    case Kind::kString: return "s(" + value.AsString() + ")";
    case Kind::kInteger: return "i" + std::to_string(value.AsInteger());
    case Kind::kReal: snprintf(real, sizeof real, "r%.17g", value.AsReal()); return real;
    case Kind::kBool: return value.AsBool() ? "true" : "false";
    case Kind::kNull: return "null";
    case Kind::kNone: return "none";
    case Kind::kObject: {
      std::string out = "{";
      for (const auto& member : value.AsObject()) out += member.first + ":" + Dump(member.second) + ",";
      return out + "}";
    }
    case Kind::kArray: {
      std::string out = "[";
      for (const JsonValue& element : value.AsArray()) out += Dump(element) + ",";
      return out + "]";
    }
  }
  return "?";
}

std::string ParseFromStream(const std::string& text, std::string* out) {
  JsonValue value;
  std::istringstream in(text);
  testing::internal::CaptureStdout();
  ParseJsonValue(in, &value);
  *out = testing::internal::GetCapturedStdout();
  return Dump(value);
}

}  // namespace

// The text reader works without C++ streams (Stub.exe would link the whole
// stream library for them); numbers read as the standard extraction reads them.
TEST(JsonReader, NumbersAsTheStandardExtractionReadsThem) {
  for (const char* text : {"12", "-0", "-", "-12", "99999999999999999999", "-99999999999999999999", "1.", "-.", "-.5",
                           "1e", "1e+", "2.5E-3", "0.5e", "1e999", "-1e999", "1e-400", "123456789.123456789e-5"}) {
    const std::string number(text);
    std::istringstream standard(number);
    standard.imbue(std::locale::classic());
    std::string expected;
    if (number.find_first_of(".eE") != std::string::npos) {
      double real = 0;
      standard >> real;
      char buffer[40];
      snprintf(buffer, sizeof buffer, "r%.17g", real);
      expected = buffer;
    } else {
      long long integer = 0;
      standard >> integer;
      expected = "i" + std::to_string(integer);
    }
    EXPECT_EQ(expected, Dump(Parse(number + " ").value)) << number;  // a value is at least two characters
  }
}

// ... and its input keeps an input stream's rules: on many small documents
// the text reader and the reader on an std::istringstream agree on the value
// and on every warning.
TEST(JsonReader, TextReaderAgreesWithStreamReader) {
  const std::string alphabet = "{}[]\":,\\u0129.eE+- tnrfalsxA\x01";
  uint32_t seed = 1;
  for (int round = 0; round < 3000; ++round) {
    seed = seed * 1103515245 + 12345;
    std::string text;
    for (size_t n = (seed >> 16) % 14; n > 0; --n) {
      seed = seed * 1103515245 + 12345;
      text.push_back(alphabet[(seed >> 16) % alphabet.size()]);
    }
    if (round % 5 == 0) text.push_back('\0');
    std::string streamOut;
    const std::string fromStream = ParseFromStream(text, &streamOut);
    const Parsed fromText = Parse(text);
    ASSERT_EQ(fromStream, Dump(fromText.value)) << text;
    ASSERT_EQ(streamOut, fromText.out) << text;
  }
}
