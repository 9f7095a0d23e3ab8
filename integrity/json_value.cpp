// JsonValue: one kind and the payload it owns; copies are deep.
#include "integrity/json.h"

#include <utility>

JsonValue::JsonValue() = default;
JsonValue::~JsonValue() = default;

JsonValue::JsonValue(const JsonValue& other)
    : kind_(other.kind_),
      text_(other.text_),
      integer_(other.integer_),
      real_(other.real_),
      flag_(other.flag_),
      object_(other.object_ ? std::make_unique<Object>(*other.object_) : nullptr),
      array_(other.array_ ? std::make_unique<Array>(*other.array_) : nullptr) {}

// Both assignments build the new payload before the old one is released:
// `other` may live inside this value's own tree.
JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

JsonValue::JsonValue(JsonValue&& other) noexcept
    : kind_(other.kind_),
      text_(std::move(other.text_)),
      integer_(other.integer_),
      real_(other.real_),
      flag_(other.flag_),
      object_(std::move(other.object_)),
      array_(std::move(other.array_)) {
  other.Release();
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this == &other) return *this;
  JsonValue taken(std::move(other));
  std::swap(kind_, taken.kind_);
  text_.swap(taken.text_);
  std::swap(integer_, taken.integer_);
  std::swap(real_, taken.real_);
  std::swap(flag_, taken.flag_);
  object_.swap(taken.object_);
  array_.swap(taken.array_);
  return *this;  // `taken` now holds the old payload and releases it
}

void JsonValue::Release() {
  std::string().swap(text_);
  integer_ = 0;
  real_ = 0.0;
  flag_ = false;
  object_.reset();
  array_.reset();
  kind_ = Kind::kNull;
}

void JsonValue::SetString(const std::string& text) {
  if (kind_ != Kind::kString) Release();
  kind_ = Kind::kString;
  text_ = text;
}

void JsonValue::SetInteger(int64_t number) {
  if (kind_ != Kind::kInteger) Release();
  kind_ = Kind::kInteger;
  integer_ = number;
}

void JsonValue::SetReal(double number) {
  if (kind_ != Kind::kReal) Release();
  kind_ = Kind::kReal;
  real_ = number;
}

void JsonValue::SetBool(bool flag) {
  if (kind_ != Kind::kBool) Release();
  kind_ = Kind::kBool;
  flag_ = flag;
}

void JsonValue::SetNull() { Release(); }

void JsonValue::SetNone() {
  Release();
  kind_ = Kind::kNone;
}

void JsonValue::SetObject() {
  if (kind_ == Kind::kObject) {
    object_->clear();
    return;
  }
  Release();
  object_ = std::make_unique<Object>();
  kind_ = Kind::kObject;
}

void JsonValue::SetArray() {
  if (kind_ == Kind::kArray) {
    array_->clear();
    return;
  }
  Release();
  array_ = std::make_unique<Array>();
  kind_ = Kind::kArray;
}

const JsonValue::Object& JsonValue::AsObject() const {
  static const Object kEmpty;
  return kind_ == Kind::kObject ? *object_ : kEmpty;
}

const std::string& JsonValue::AsString() const {
  static const std::string kEmpty;
  return kind_ == Kind::kString ? text_ : kEmpty;
}

const JsonValue::Array& JsonValue::AsArray() const {
  static const Array kEmpty;
  return kind_ == Kind::kArray ? *array_ : kEmpty;
}
