#include "UTextUtil.h"

#include <string.h>

int UTextUtil::split(char* text, const char* delimiters, StringList& out) {
  if (!text || !delimiters) return static_cast<int>(out.size());
  char* save = nullptr;
  for (char* tok = strtok_r(text, delimiters, &save); tok; tok = strtok_r(nullptr, delimiters, &save))
    out.push_back(tok);
  return static_cast<int>(out.size());
}

std::string UTextUtil::implode(const StringList& items, std::string separator) {
  if (items.empty()) return std::string();
  std::string joined = items[0];
  for (size_t i = 1; i < items.size(); ++i) {
    joined += separator;
    joined += items[i];
  }
  return joined;
}
