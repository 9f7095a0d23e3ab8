// The JSON reader on any text: one value from a string, then a stream read
// value after value, and the finished tree walked, copied and moved.
#include <cstdlib>
#include <sstream>
#include <string>

#include "integrity/json.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Visits every value; kNone must never stay in a finished tree.
size_t Walk(const JsonValue& value, int depth) {
  if (depth > kJsonMaxDepth + 2) abort();
  size_t count = 1;
  switch (value.kind()) {
    case JsonValue::Kind::kNone:
      abort();
    case JsonValue::Kind::kObject:
      for (const auto& member : value.AsObject()) count += Walk(member.second, depth + 1);
      break;
    case JsonValue::Kind::kArray:
      for (const JsonValue& element : value.AsArray()) count += Walk(element, depth + 1);
      break;
    default:
      break;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kzfuzz::QuietInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  JsonValue value;
  ParseJsonText(text, &value);
  const size_t count = Walk(value, 0);

  // What the embedded signature check asks of a record.
  const JsonValue::Object& object = value.AsObject();
  auto sign = object.find("sign");
  if (sign != object.end()) (void)sign->second.AsString().size();

  JsonValue copy(value);
  if (Walk(copy, 0) != count) abort();
  JsonValue moved(std::move(copy));
  copy = moved;  // assignment into a moved-from value
  copy.SetString("replaced");
  if (Walk(moved, 0) != count) abort();

  // Values one after another from a stream, as a caller reading a sequence.
  std::istringstream stream(text);
  for (int i = 0; i < 64 && stream.good(); ++i) {
    const std::streampos before = stream.tellg();
    JsonValue next;
    ParseJsonValue(stream, &next);
    Walk(next, 0);
    if (stream.good() && stream.tellg() == before) break;
  }
  return 0;
}
