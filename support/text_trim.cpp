#include "support/text_trim.h"

void TrimEnd(std::string* text) {
  while (!text->empty() && IsTrimmedByte(text->back())) text->pop_back();
}

void TrimFront(std::string* text) {
  size_t start = 0;
  while (start < text->size() && IsTrimmedByte((*text)[start])) ++start;
  text->erase(0, start);
}
