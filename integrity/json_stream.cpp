// The JSON reader on a C++ input stream (tests, tools). Kept apart from
// json_parse.cpp so that Stub.exe does not link the stream library.
#include <istream>

#include "integrity/json_reader.h"

void ParseJsonValue(std::istream& input, JsonValue* value) { json_reader::ParseValue(input, value, 0); }
