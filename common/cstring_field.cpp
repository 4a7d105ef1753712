#include "common/cstring.h"

namespace chronark {

std::string ExtractField(std::string_view S, char Separator, uint8_t Index) {
  std::string_view Rest = S;
  std::string_view Field;
  unsigned i = 1;
  size_t n = Rest.size();
  while (i <= Index && n != 0) {
    size_t At = Rest.find(Separator);
    n = At == std::string_view::npos ? 0 : At + 1;
    if (n != 0) {
      Field = Rest.substr(0, n - 1);
      Rest.remove_prefix(n);
      ++i;
    } else {
      Field = Rest;
    }
  }
  return i < Index ? std::string() : std::string(Field);
}

}  // namespace chronark
