// How the install script is cut into lines: the installer reads it through a
// 2048-byte buffer, and kzpack reads a script the same way, so that both see
// the same lines.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// The installer's line buffer, terminating zero included.
constexpr int kScriptLineBuffer = 2048;

// One step of reading a line from `bytes`: carriage returns are dropped, a
// line feed is stored and ends the line (`*lineDone`), and at most
// `capacity` - 1 bytes are stored in all (`*stored` counts them). Returns the
// bytes consumed.
size_t CutScriptLine(const unsigned char* bytes, size_t available, char* buffer, int capacity, int* stored,
                     bool* lineDone);

// Reads every line with `readLine` (fills a kScriptLineBuffer-byte buffer
// with a zero-terminated piece, false at the end). A line ends at its first
// zero byte, is trimmed at both ends and kept, empty ones and comments too.
using ScriptLineReader = std::function<bool(char* buffer, int capacity)>;
std::vector<std::string> ReadScriptLines(const ScriptLineReader& readLine);

// The lines of a script held in memory, read as the installer reads them.
std::vector<std::string> ReadScriptLinesFromText(const std::string& text);
