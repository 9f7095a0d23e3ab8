// A small, forgiving JSON reader. It never fails as a whole: what it cannot
// use it skips, with a one-line warning on standard output, and the value
// keeps whatever was understood.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

class JsonValue {
 public:
  // The codes are part of the value's identity; kNone marks an array element
  // that is still being read and never stays in a finished tree.
  enum class Kind { kString = 0, kInteger = 1, kReal = 2, kObject = 3, kArray = 4, kBool = 5, kNull = 6, kNone = 7 };
  using Object = std::map<std::string, JsonValue>;
  using Array = std::vector<JsonValue>;

  JsonValue();  // null
  JsonValue(const JsonValue& other);
  JsonValue& operator=(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

  Kind kind() const { return kind_; }

  // Setting a value of another kind releases the old payload first.
  void SetString(const std::string& text);
  void SetInteger(int64_t number);
  void SetReal(double number);
  void SetBool(bool flag);
  void SetNull();
  void SetNone();
  // Empty object / array, ready to be filled through the mutable accessors.
  void SetObject();
  void SetArray();

  // Shared empty results for every other kind; neither changes the value.
  const Object& AsObject() const;
  const std::string& AsString() const;
  const Array& AsArray() const;
  int64_t AsInteger() const { return kind_ == Kind::kInteger ? integer_ : 0; }
  double AsReal() const { return kind_ == Kind::kReal ? real_ : 0.0; }
  bool AsBool() const { return kind_ == Kind::kBool && flag_; }

  // Null unless the value is of that kind.
  Object* MutableObject() { return kind_ == Kind::kObject ? object_.get() : nullptr; }
  Array* MutableArray() { return kind_ == Kind::kArray ? array_.get() : nullptr; }
  std::string* MutableString() { return kind_ == Kind::kString ? &text_ : nullptr; }

 private:
  void Release();

  Kind kind_ = Kind::kNull;
  std::string text_;
  int64_t integer_ = 0;
  double real_ = 0.0;
  bool flag_ = false;
  std::unique_ptr<Object> object_;
  std::unique_ptr<Array> array_;
};

// Values nested deeper than this are left unread (like any value the reader
// cannot use) with a warning, so hostile input cannot exhaust the stack.
constexpr int kJsonMaxDepth = 200;

// Reads one value from the text.
void ParseJsonText(const std::string& text, JsonValue* value);
// Reads one value from the stream's current position; used for every nested
// value as well.
void ParseJsonValue(std::istream& input, JsonValue* value);
