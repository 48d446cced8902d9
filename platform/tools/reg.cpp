// reg: the registry tool (query, add, delete) over platform/registry.h.
//
//   reg query  <KEY> [/v <name> | /ve] [/s]
//   reg add    <KEY> [/v <name> | /ve] [/t <type>] [/d <data>] [/f]
//   reg delete <KEY> [/v <name> | /ve | /va] [/f]
//
// <KEY> is <root>\<path> with the root's short or long name (HKLM, HKEY_LOCAL_MACHINE, ...).
// A query prints a blank line, the key's full name, one line "    <name>    <TYPE>    <data>"
// per value ("(Default)" for the default value; REG_DWORD as 0x<lower hex>; binary data as
// upper hex), then for each sub-key a blank line and its full name. Exit 0 on success,
// 1 on any error, with an "ERROR: ..." line on the standard error.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/registry.h"

using namespace ks::platform;

namespace {

constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.";

int Fail(const std::string& text) {
  std::cerr << text << "\n";
  return 1;
}

int Syntax(const std::string& op) {
  return Fail("ERROR: Invalid syntax.\nType \"REG " + op + " /?\" for usage.");
}

int FailStatus(LSTATUS rc) {
  switch (rc) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_KEY_DELETED:
      return Fail(kNotFound);
    case ERROR_ACCESS_DENIED:
      return Fail("ERROR: Access is denied.");
    case ERROR_INVALID_PARAMETER:
      return Fail("ERROR: The parameter is incorrect.");
    default:
      return Fail("ERROR: The registry cannot be read or written (" + std::to_string(rc) + ").");
  }
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    default: return "REG_NONE";
  }
}

bool TypeFromName(const std::string& name, uint32_t& type) {
  std::string u = Upper(name);
  if (u == "REG_SZ") type = REG_SZ;
  else if (u == "REG_EXPAND_SZ") type = REG_EXPAND_SZ;
  else if (u == "REG_BINARY") type = REG_BINARY;
  else if (u == "REG_DWORD") type = REG_DWORD;
  else if (u == "REG_NONE") type = REG_NONE;
  else return false;
  return true;
}

std::string DataText(const RegValue& v) {
  static const char* hex = "0123456789ABCDEF";
  if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) return v.data;
  if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.data[i]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", d);
    return buf;
  }
  std::string out;
  for (unsigned char c : v.data) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

void PrintValue(const RegValue& v) {
  std::cout << "    " << (v.name.empty() ? "(Default)" : v.name) << "    " << TypeName(v.type) << "    "
            << DataText(v) << "\n";
}

struct Args {
  std::string op;
  std::string key;
  bool hasValue = false;  // /v or /ve given
  std::string valueName;
  bool allValues = false;  // /va
  bool typeGiven = false;
  uint32_t type = REG_SZ;
  bool dataGiven = false;
  std::string data;
  bool force = false;
  bool recurse = false;
};

// Parses the options after the key; false on a syntax error.
bool ParseOptions(int argc, char** argv, Args& a) {
  for (int i = 3; i < argc; ++i) {
    std::string opt = Upper(argv[i]);
    auto next = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (opt == "/V") {
      if (a.hasValue || !next(a.valueName)) return false;
      a.hasValue = true;
    } else if (opt == "/VE") {
      if (a.hasValue) return false;
      a.hasValue = true;
      a.valueName.clear();
    } else if (opt == "/VA" && a.op == "DELETE") {
      a.allValues = true;
    } else if (opt == "/T" && a.op == "ADD") {
      std::string t;
      if (!next(t) || !TypeFromName(t, a.type)) return false;
      a.typeGiven = true;
    } else if (opt == "/D" && a.op == "ADD") {
      if (!next(a.data)) return false;
      a.dataGiven = true;
    } else if (opt == "/F" && a.op != "QUERY") {
      a.force = true;
    } else if (opt == "/S" && a.op == "QUERY") {
      a.recurse = true;
    } else if (opt == "/REG:32" || opt == "/REG:64") {
    } else {
      return false;
    }
  }
  return !(a.allValues && a.hasValue);
}

// Splits "<root>\<path>"; false when the root is unknown.
bool SplitKey(const std::string& text, HKEY& root, std::string& path) {
  size_t slash = text.find('\\');
  root = RegRootFromName(text.substr(0, slash));
  path = slash == std::string::npos ? "" : text.substr(slash + 1);
  return root != nullptr;
}

bool Confirm(const std::string& question) {
  std::cout << question << " (Yes/No)? " << std::flush;
  std::string line;
  if (!std::getline(std::cin, line)) {
    std::cout << "\n";
    return false;
  }
  std::string u = Upper(line);
  return u == "Y" || u == "YES";
}

int QueryKey(HKEY key, bool recurse) {
  std::vector<RegValue> values;
  std::vector<std::string> subKeys;
  LSTATUS rc = RegListValues(key, values);
  if (rc == ERROR_SUCCESS) rc = RegListSubKeys(key, subKeys);
  if (rc != ERROR_SUCCESS) return FailStatus(rc);
  std::cout << "\n" << RegKeyName(key) << "\n";
  for (const auto& v : values) PrintValue(v);
  for (const auto& s : subKeys) {
    if (recurse) {
      HKEY sub = nullptr;
      if (RegOpenKeyEx(key, s.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
      QueryKey(sub, true);
      RegCloseKey(sub);
    } else {
      std::cout << "\n" << RegKeyName(key) << "\\" << s << "\n";
    }
  }
  return 0;
}

int Query(HKEY key, const Args& a) {
  if (!a.hasValue) return QueryKey(key, a.recurse);
  std::vector<RegValue> values;
  LSTATUS rc = RegListValues(key, values);
  if (rc != ERROR_SUCCESS) return FailStatus(rc);
  for (const auto& v : values) {
    if (strcasecmp(v.name.c_str(), a.valueName.c_str()) == 0) {
      std::cout << "\n" << RegKeyName(key) << "\n";
      PrintValue(v);
      return 0;
    }
  }
  if (a.valueName.empty()) {
    std::cout << "\n" << RegKeyName(key) << "\n    (Default)    REG_SZ    (value not set)\n";
    return 0;
  }
  return Fail(kNotFound);
}

// The bytes of /d for /t; false when they do not fit the type.
bool DataBytes(const Args& a, std::string& out) {
  if (a.type == REG_DWORD) {
    const std::string& d = a.dataGiven ? a.data : "0";
    if (d.empty() || d[0] == '-' || d[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(d.c_str(), &end, d.size() > 2 && (d[1] == 'x' || d[1] == 'X') ? 16 : 10);
    if (errno || !end || *end || v > 0xFFFFFFFFull) return false;
    out.assign(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return true;
  }
  if (a.type == REG_BINARY || a.type == REG_NONE) {
    if (a.data.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < a.data.size(); i += 2) {
      int hi = std::isxdigit(static_cast<unsigned char>(a.data[i])) ? std::stoi(a.data.substr(i, 1), nullptr, 16) : -1;
      int lo = std::isxdigit(static_cast<unsigned char>(a.data[i + 1])) ? std::stoi(a.data.substr(i + 1, 1), nullptr, 16) : -1;
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
    }
    return true;
  }
  if (a.data.find('\0') != std::string::npos) return false;
  out = a.data;
  return true;
}

int Add(HKEY root, const std::string& path, const Args& a) {
  std::string bytes;
  if (!DataBytes(a, bytes)) return Syntax("ADD");
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyEx(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return FailStatus(rc);
  bool writeValue = a.hasValue || a.dataGiven || a.typeGiven;
  if (writeValue) {
    if (!a.force && RegQueryValueEx(key, a.valueName.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        !Confirm("Value " + (a.valueName.empty() ? std::string("(Default)") : a.valueName) + " exists, overwrite")) {
      RegCloseKey(key);
      std::cout << "The operation was canceled by the user.\n";
      return 1;
    }
    rc = RegSetValueEx(key, a.valueName.c_str(), 0, a.type, reinterpret_cast<const uint8_t*>(bytes.data()),
                       static_cast<uint32_t>(bytes.size()));
  }
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return FailStatus(rc);
  std::cout << "The operation completed successfully.\n";
  return 0;
}

int Delete(HKEY root, const std::string& path, HKEY key, const Args& a) {
  LSTATUS rc = ERROR_SUCCESS;
  if (a.hasValue) {
    if (!a.force && !Confirm("Delete the registry value " + (a.valueName.empty() ? std::string("(Default)") : a.valueName))) {
      std::cout << "The operation was canceled by the user.\n";
      return 1;
    }
    rc = RegDeleteValue(key, a.valueName.c_str());
  } else if (a.allValues) {
    if (!a.force && !Confirm("Delete all values under the registry key " + RegKeyName(key))) {
      std::cout << "The operation was canceled by the user.\n";
      return 1;
    }
    std::vector<RegValue> values;
    rc = RegListValues(key, values);
    for (const auto& v : values) {
      if (rc == ERROR_SUCCESS) rc = RegDeleteValue(key, v.name.c_str());
    }
  } else {
    if (path.empty()) return Fail("ERROR: Access is denied.");
    if (!a.force && !Confirm("Permanently delete the registry key " + RegKeyName(key))) {
      std::cout << "The operation was canceled by the user.\n";
      return 1;
    }
    rc = RegDeleteTree(root, path.c_str());
  }
  if (rc != ERROR_SUCCESS) return FailStatus(rc);
  std::cout << "The operation completed successfully.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Syntax(argc > 1 ? Upper(argv[1]) : "");
  Args a;
  a.op = Upper(argv[1]);
  a.key = argv[2];
  if (a.op != "QUERY" && a.op != "ADD" && a.op != "DELETE") {
    return Fail("ERROR: Invalid syntax.\nType \"REG /?\" for usage.");
  }
  if (!ParseOptions(argc, argv, a)) return Syntax(a.op);
  HKEY root = nullptr;
  std::string path;
  if (!SplitKey(a.key, root, path)) return Fail("ERROR: Invalid key name.\nType \"REG " + a.op + " /?\" for usage.");
  if (a.op == "ADD") return Add(root, path, a);
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyEx(root, path.c_str(), 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return FailStatus(rc);
  int code = a.op == "QUERY" ? Query(key, a) : Delete(root, path, key, a);
  RegCloseKey(key);
  return code;
}
