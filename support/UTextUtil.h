// Text helpers: cutting a text into tokens and joining a list of strings.
#pragma once

#include <string>
#include <vector>

// The growable list of strings shared by the script engine and the boot environment.
typedef std::vector<std::string> StringList;

class UTextUtil {
 public:
  // Cuts text in place (strtok_r semantics: runs of delimiters separate, empty tokens never
  // appear) and appends the tokens to out, which is not cleared. Returns out's new size.
  static int split(char* text, const char* delimiters, StringList& out);
  // The items joined by separator, which stands only between items.
  static std::string implode(const StringList& items, std::string separator);
};
