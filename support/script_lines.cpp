#include "support/script_lines.h"

#include "support/text_trim.h"

size_t CutScriptLine(const unsigned char* bytes, size_t available, char* buffer, int capacity, int* stored,
                     bool* lineDone) {
  size_t used = 0;
  while (used < available && *stored < capacity - 1 && !*lineDone) {
    const unsigned char c = bytes[used++];
    if (c == 0x0D) continue;
    buffer[(*stored)++] = static_cast<char>(c);
    if (c == 0x0A) *lineDone = true;
  }
  return used;
}

std::vector<std::string> ReadScriptLines(const ScriptLineReader& readLine) {
  std::vector<std::string> lines;
  std::vector<char> buffer(kScriptLineBuffer);
  while (readLine(buffer.data(), kScriptLineBuffer)) {
    std::string line(buffer.data());  // up to the first zero byte
    TrimEnd(&line);
    TrimFront(&line);
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> ReadScriptLinesFromText(const std::string& text) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t position = 0;
  return ReadScriptLines([&](char* buffer, int capacity) {
    int stored = 0;
    bool lineDone = false;
    position += CutScriptLine(bytes + position, text.size() - position, buffer, capacity, &stored, &lineDone);
    if (stored == 0) return false;
    buffer[stored] = '\0';
    return true;
  });
}
