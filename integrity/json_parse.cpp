// The JSON reader on text. TextInput keeps an std::istringstream's state rules
// for the primitives the reader uses, without the stream library.
#include "integrity/json_reader.h"

namespace {

class TextInput {
 public:
  explicit TextInput(const std::string& text) : text_(text) {}

  bool good() const { return !eof_ && !fail_ && !bad_; }
  // get(c): fails on an input not good; at the end it ends and fails.
  bool get(char& c) {
    if (!good()) return Fail();
    if (position_ == text_.size()) {
      eof_ = true;
      return Fail();
    }
    c = text_[position_++];
    return true;
  }
  int get() {
    char c;
    return get(c) ? static_cast<unsigned char>(c) : EOF;
  }
  // At the end the input ends but has not failed.
  int peek() {
    if (!good()) return Fail(), EOF;
    if (position_ == text_.size()) {
      eof_ = true;
      return EOF;
    }
    return static_cast<unsigned char>(text_[position_]);
  }
  // Clears the end first; succeeds only for the character read last.
  void putback(char c) {
    eof_ = false;
    if (!good()) {
      Fail();
      return;
    }
    if (position_ == 0 || text_[position_ - 1] != c) {
      bad_ = true;
      return;
    }
    --position_;
  }

 private:
  bool Fail() {
    fail_ = true;
    return false;
  }

  const std::string& text_;
  size_t position_ = 0;
  bool eof_ = false;
  bool fail_ = false;
  bool bad_ = false;
};

}  // namespace

void ParseJsonText(const std::string& text, JsonValue* value) {
  TextInput input(text);
  json_reader::ParseValue(input, value, 0);
}
