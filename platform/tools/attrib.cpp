// attrib: shows or changes the hidden, system and read-only attributes of a file
// (platform/file_attributes.h).
//
//   attrib [+h|-h] [+s|-s] [+r|-r] [+a|-a] <path>
//
// Without changes it prints the attributes ("A" column, then "S", "H", "R") and the path.
// A missing file prints "File not found - <path>" and exits 1.
#include <strings.h>

#include <cerrno>
#include <iostream>
#include <string>

#include "platform/file_attributes.h"

using namespace ks::platform;

int main(int argc, char** argv) {
  uint32_t set = 0, clear = 0;
  std::string path;
  bool change = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.size() == 2 && (a[0] == '+' || a[0] == '-')) {
      uint32_t bit = 0;
      switch (a[1] | 0x20) {
        case 'h': bit = FILE_ATTRIBUTE_HIDDEN; break;
        case 's': bit = FILE_ATTRIBUTE_SYSTEM; break;
        case 'r': bit = FILE_ATTRIBUTE_READONLY; break;
        case 'a': break;  // archive: not kept
        default:
          std::cout << "Parameter format not correct - \"" << a << "\".\n";
          return 1;
      }
      (a[0] == '+' ? set : clear) |= bit;
      change = true;
    } else if (strcasecmp(a.c_str(), "/s") == 0 || strcasecmp(a.c_str(), "/d") == 0) {
    } else if (path.empty()) {
      path = a;
    } else {
      std::cout << "Parameter format not correct - \"" << a << "\".\n";
      return 1;
    }
  }
  if (path.empty()) path.assign(1, '.');
  if (change) {
    int rc = ChangeFileAttributes(path, set, clear);
    if (rc == ENOENT) {
      std::cout << "File not found - " << path << "\n";
      return 1;
    }
    if (rc != 0) {
      std::cout << "Access denied - " << path << "\n";
      return 1;
    }
    return 0;
  }
  uint32_t bits = GetFileAttributes(path);
  if (bits == INVALID_FILE_ATTRIBUTES) {
    std::cout << "File not found - " << path << "\n";
    return 1;
  }
  std::string cols = "A    ";
  cols += (bits & FILE_ATTRIBUTE_SYSTEM) ? 'S' : ' ';
  cols += (bits & FILE_ATTRIBUTE_HIDDEN) ? 'H' : ' ';
  cols += (bits & FILE_ATTRIBUTE_READONLY) ? 'R' : ' ';
  std::cout << cols << "       " << path << "\n";
  return 0;
}
