// The forgiving JSON reader, on any input with the three primitives of an
// input stream (get, peek, put back) and their state rules: a get that meets
// the end of the input leaves the character variable as it was and ends the
// input, and a put-back on an ended input fails and leaves it ended; the
// reader relies on both. json_parse.cpp runs it on text (Stub.exe links only
// that: C++ streams would bring the whole iostream library into it),
// json_stream.cpp on a std::istream.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "integrity/json.h"

namespace json_reader {

// Numbers as the standard stream extraction in the classic locale reads the
// reader's number text: what it cannot convert is 0, out of range is the
// nearest limit (an infinite real the largest finite one).
inline long long IntegerValue(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

inline double RealValue(const std::string& text) {
  char* end = nullptr;
  const double real = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') return 0.0;  // "1e", "-.", ...: not a number as a whole
  if (std::isinf(real)) return real > 0 ? DBL_MAX : -DBL_MAX;
  return real;
}

// The escape's four-character field, hex digits then spaces for any the
// input did not have.
inline unsigned HexFieldValue(const char* field) {
  return static_cast<unsigned>(std::strtoul(field, nullptr, 16));
}


constexpr char kDigits[] = "0123456789ABCDEFabcdef";  // first ten decimal, all 22 hex

inline bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsHexDigit(char c) {
  for (const char* d = kDigits; *d; ++d)
    if (*d == c) return true;
  return false;
}
inline bool IsWhitespace(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

template <class In>
bool Ended(const In& in) { return !in.good(); }

// Warnings go to standard output, one line each, flushed at once.
inline void Warn(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

template <class In>
void ParseValue(In& in, JsonValue* value, int depth);

// Collects `codePoint` (at most 0xFFFF) in UTF-8; surrogate halves are
// encoded one by one, never combined.
inline void AppendUtf8(std::string* out, unsigned codePoint) {
  if (codePoint < 0x80) {
    out->push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// \uXXXX after the "u": four characters are consumed (fewer at the end of
// the input); any that is not a hex digit spoils the escape.
template <class In>
void ReadUnicodeEscape(In& in, std::string* out) {
  char field[5] = {' ', ' ', ' ', ' ', 0};
  bool spoiled = false;
  for (int i = 0; i < 4; ++i) {
    char c;
    if (!in.get(c)) break;
    if (IsHexDigit(c)) {
      field[i] = c;
    } else {
      Warn("Invalid \\u character, skipping it.");
      spoiled = true;
    }
  }
  if (spoiled) return;
  AppendUtf8(out, HexFieldValue(field) & 0xFFFF);
}

// Reads a string after its opening quote. Unterminated: `out` stays empty.
template <class In>
void ReadString(In& in, std::string* out) {
  out->clear();
  std::string collected;
  char b = '"';
  for (;;) {
    if (Ended(in)) return;
    in.get(b);
    if (Ended(in)) continue;
    if (static_cast<unsigned char>(b) >= 0x80) {
      collected.push_back(b);
    } else if (b == '"') {
      out->swap(collected);
      return;
    } else if (b == '\\') {
      in.get(b);  // at the end of the input the backslash stands in for it
      switch (b) {
        case '"': case '/': case '\\': collected.push_back(b); break;
        case 'b': collected.push_back('\b'); break;
        case 'f': collected.push_back('\f'); break;
        case 'n': collected.push_back('\n'); break;
        case 'r': collected.push_back('\r'); break;
        case 't': collected.push_back('\t'); break;
        case 'u': ReadUnicodeEscape(in, &collected); break;
        default: break;  // unknown escape: both characters are dropped
      }
    } else {
      collected.push_back(b);
    }
  }
}

template <class In>
void ReadNumber(In& in, JsonValue* value) {
  // "00": the number is the first zero; the second stays in the input.
  if (in.peek() == '0') {
    in.get();
    if (in.peek() == '0') {
      value->SetInteger(0);
      return;
    }
    in.putback('0');
  }
  std::string text;
  bool dot = false;
  bool exponent = false;
  for (;;) {
    char c;
    if (!in.get(c)) break;
    if (c == '-') {
      if (text.empty())
        text.push_back(c);
      else
        Warn("Expected a digit, '.', 'e' or 'E', got '-' instead, ignoring it.");
    } else if (c == '.') {
      if (!dot && !exponent) text.push_back(c);
      dot = true;
    } else if (IsDecimalDigit(c)) {
      text.push_back(c);
    } else if (c == 'e' || c == 'E') {
      if (!exponent) {
        text.push_back(c);
        exponent = true;
        int next = in.peek();
        if (next == '-' || next == '+') text.push_back(static_cast<char>(in.get()));
      }
    } else {
      in.putback(c);
      break;
    }
  }
  if (dot || exponent)
    value->SetReal(RealValue(text));
  else
    value->SetInteger(IntegerValue(text));
}

// Matches the rest of a literal letter by letter after its first letter.
// Returns true on a full match. `loud` selects the warnings of "null".
template <class In>
bool MatchLiteral(In& in, const char* rest, bool loud) {
  for (const char* expected = rest; *expected; ++expected) {
    char c;
    if (!in.get(c)) {
      if (loud) Warn("json input ends incorrectly");
      return false;
    }
    if (c != *expected) {
      if (loud) Warn("invalid characters found");
      return false;
    }
  }
  return true;
}

template <class In>
void ReadObject(In& in, JsonValue* value, int depth) {
  JsonValue::Object& members = *value->MutableObject();
  std::string key;
  while (!Ended(in)) {
    char c;
    if (!in.get(c)) return;
    if (IsWhitespace(c)) continue;
    if (c == '}') return;
    if (c != '"') {
      Warn(std::string("Expected '\"', got '") + c + "', ignoring it.");
      continue;
    }
    ReadString(in, &key);
    char colon = 0;
    do {
      if (!in.get(colon)) break;
    } while (IsWhitespace(colon));
    if (Ended(in) || colon != ':') continue;  // member dropped
    char first = 0;
    do {
      if (!in.get(first)) break;
    } while (IsWhitespace(first));
    if (Ended(in)) continue;
    in.putback(first);
    // A repeated key reads into the existing entry: the last one wins.
    ParseValue(in, &members[key], depth + 1);
    // The separator scan starts with the value's first character.
    for (char s = first;; ) {
      if (s == ',') break;
      if (s == '}') return;
      if (!in.get(s)) break;
    }
  }
}

template <class In>
void ReadArray(In& in, JsonValue* value, int depth) {
  JsonValue::Array& elements = *value->MutableArray();
  while (!Ended(in)) {
    char c;
    if (!in.get(c)) return;
    if (IsWhitespace(c)) continue;
    if (c == ']') return;
    in.putback(c);
    elements.emplace_back();
    elements.back().SetNone();
    ParseValue(in, &elements.back(), depth + 1);
    if (elements.back().kind() == JsonValue::Kind::kNone) {
      elements.pop_back();
      // A value left unread (too deep, a zero byte) leaves its first
      // character in the stream; a separator there would be met again and
      // again, so it is consumed here.
      if (c == ',' && !in.get(c)) return;
    }
    for (char s = c;; ) {
      if (s == ',') break;
      if (s == ']') return;
      if (!in.get(s)) break;
    }
  }
}

template <class In>
void ParseValue(In& in, JsonValue* value, int depth) {
  // Zero-byte screen: UTF-16 text has a zero byte in every ASCII character.
  char first;
  char second;
  if (!in.get(first)) return;
  if (!in.get(second)) return;
  in.putback(second);
  in.putback(first);
  if (first == 0 || second == 0) {
    Warn("File is not in UTF-8, not parsing.");
    return;
  }
  if (depth > kJsonMaxDepth) {
    // Left unread, as an unusable value is; the enclosing readers skip it.
    Warn("json nesting too deep, not parsing.");
    return;
  }
  for (;;) {
    if (Ended(in)) return;
    char c;
    in.get(c);
    if (Ended(in)) return;
    switch (c) {
      case '"': {
        value->SetString(std::string());
        ReadString(in, value->MutableString());
        return;
      }
      case '{':
        value->SetObject();
        ReadObject(in, value, depth);
        return;
      case '[':
        value->SetArray();
        ReadArray(in, value, depth);
        return;
      case 'n':
        if (MatchLiteral(in, "ull", true)) {
          value->SetNull();
          return;
        }
        break;
      case 't':
        if (MatchLiteral(in, "rue", false)) {
          value->SetBool(true);
          return;
        }
        break;
      case 'f':
        if (MatchLiteral(in, "alse", false)) {
          value->SetBool(false);
          return;
        }
        break;
      default:
        if (c == '-' || IsDecimalDigit(c)) {
          in.putback(c);
          ReadNumber(in, value);
          return;
        }
        if (!IsWhitespace(c)) Warn(std::string("Invalid character found: '") + c + "'");
        break;
    }
  }
}

}  // namespace json_reader
