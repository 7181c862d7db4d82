// Names for the cases of parameterised tests. A case's name shows in CTest
// and in filters, so it must say what the case is and stay the same from
// run to run: never the parameter's raw bytes, which hold heap addresses.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

namespace vornex::test {

// `index`, then `text` with letters and digits kept and every run of
// anything else made one "_": "3_app_db" for case 3, "app/db". The index
// keeps names apart that differ only in what is dropped.
inline std::string case_name(std::size_t index, std::string_view text) {
  std::string name = std::to_string(index);
  bool gap = true;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0 && static_cast<unsigned char>(c) < 0x80) {
      if (gap) name += '_';
      name += c;
      gap = false;
    } else {
      gap = true;
    }
  }
  return name;
}

}  // namespace vornex::test
