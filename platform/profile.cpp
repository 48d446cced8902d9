#include "platform/profile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>

#include "platform/utf16.h"

namespace ks::platform {
namespace {

enum class Encoding { kUtf8, kUtf8Bom, kUtf16Le };

struct Line {
  std::string text;  // without its terminator
  std::string eol;   // "\r\n", "\n", "\r" or "" (last line)
};

struct IniFile {
  Encoding encoding = Encoding::kUtf8;
  std::vector<Line> lines;
};

enum class Kind { kBlank, kComment, kSection, kEntry };

struct Parsed {
  Kind kind = Kind::kBlank;
  std::string name;   // section or key
  std::string value;  // raw value, trimmed (quotes kept)
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

Parsed Parse(const std::string& text) {
  Parsed p;
  std::string t = Trim(text);
  if (t.empty()) return p;
  if (t[0] == ';') {
    p.kind = Kind::kComment;
    return p;
  }
  if (t[0] == '[') {
    p.kind = Kind::kSection;
    size_t close = t.find(']');
    p.name = Trim(std::string_view(t).substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return p;
  }
  p.kind = Kind::kEntry;
  size_t eq = t.find('=');
  if (eq == std::string::npos) {
    p.name = t;
  } else {
    p.name = Trim(std::string_view(t).substr(0, eq));
    p.value = Trim(std::string_view(t).substr(eq + 1));
  }
  return p;
}

void SplitLines(const std::string& text, std::vector<Line>& out) {
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text.find_first_of("\r\n", i);
    if (end == std::string::npos) {
      out.push_back({text.substr(i), ""});
      break;
    }
    size_t eolLen = (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1;
    out.push_back({text.substr(i, end - i), text.substr(end, eolLen)});
    i = end + eolLen;
  }
}

bool ReadAll(const std::string& path, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  char buf[16384];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool Load(const std::string& path, IniFile& ini) {
  std::string bytes;
  if (!ReadAll(path, bytes)) return false;
  std::string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    ini.encoding = Encoding::kUtf16Le;
    text = Utf16ToUtf8(Utf16FromLeBytes(std::string_view(bytes).substr(2)));
  } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    ini.encoding = Encoding::kUtf8Bom;
    text = bytes.substr(3);
  } else {
    ini.encoding = Encoding::kUtf8;
    text = std::move(bytes);
  }
  SplitLines(text, ini.lines);
  return true;
}

std::string Encode(const IniFile& ini) {
  std::string text;
  for (const auto& l : ini.lines) text += l.text + l.eol;
  switch (ini.encoding) {
    case Encoding::kUtf16Le:
      return "\xFF\xFE" + Utf16ToLeBytes(Utf8ToUtf16(text));
    case Encoding::kUtf8Bom:
      return "\xEF\xBB\xBF" + text;
    default:
      return text;
  }
}

// Line index of the first section `name`, or -1.
long FindSection(const IniFile& ini, const std::string& name) {
  for (size_t i = 0; i < ini.lines.size(); ++i) {
    Parsed p = Parse(ini.lines[i].text);
    if (p.kind == Kind::kSection && SameName(p.name, name)) return static_cast<long>(i);
  }
  return -1;
}

// End of the section starting at `start` (index of the next section line, or the count).
size_t SectionEnd(const IniFile& ini, size_t start) {
  size_t i = start + 1;
  while (i < ini.lines.size() && Parse(ini.lines[i].text).kind != Kind::kSection) ++i;
  return i;
}

std::vector<Parsed> Entries(const IniFile& ini, const std::string& section) {
  std::vector<Parsed> out;
  long s = FindSection(ini, section);
  if (s < 0) return out;
  size_t end = SectionEnd(ini, static_cast<size_t>(s));
  for (size_t i = static_cast<size_t>(s) + 1; i < end; ++i) {
    Parsed p = Parse(ini.lines[i].text);
    if (p.kind == Kind::kEntry) out.push_back(std::move(p));
  }
  return out;
}

// Writes `data` beside `path` and renames it over `path`, keeping the mode.
bool ReplaceFile(const std::string& path, const std::string& data, mode_t mode) {
  static std::atomic<unsigned> counter{0};
  std::string tmp = path + ".~" + std::to_string(::getpid()) + "." + std::to_string(counter++);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  if (ok && ::fchmod(fd, mode) != 0) ok = false;
  if (ok && ::fdatasync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  return false;
}

class FolderLock {
 public:
  explicit FolderLock(const std::string& folder) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
          ::close(fd_);
          fd_ = -1;
          break;
        }
      }
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// The change itself, on the loaded file; false when nothing changed.
bool Apply(IniFile& ini, const std::string& section, const std::string* key, const std::string* value) {
  long s = FindSection(ini, section);
  auto terminateLast = [&] {
    if (!ini.lines.empty() && ini.lines.back().eol.empty()) ini.lines.back().eol = "\r\n";
  };
  if (!key) {  // delete the section
    if (s < 0) return false;
    size_t end = SectionEnd(ini, static_cast<size_t>(s));
    ini.lines.erase(ini.lines.begin() + s, ini.lines.begin() + static_cast<long>(end));
    return true;
  }
  if (s < 0) {
    if (!value) return false;
    terminateLast();
    ini.lines.push_back({"[" + section + "]", "\r\n"});
    ini.lines.push_back({*key + "=" + *value, "\r\n"});
    return true;
  }
  size_t end = SectionEnd(ini, static_cast<size_t>(s));
  size_t lastEntry = static_cast<size_t>(s);
  for (size_t i = static_cast<size_t>(s) + 1; i < end; ++i) {
    Parsed p = Parse(ini.lines[i].text);
    if (p.kind != Kind::kEntry) continue;
    lastEntry = i;
    if (!SameName(p.name, *key)) continue;
    if (!value) {
      ini.lines.erase(ini.lines.begin() + static_cast<long>(i));
      return true;
    }
    ini.lines[i].text = p.name + "=" + *value;
    if (ini.lines[i].eol.empty()) ini.lines[i].eol = "\r\n";
    return true;
  }
  if (!value) return false;
  if (ini.lines[lastEntry].eol.empty()) ini.lines[lastEntry].eol = "\r\n";
  ini.lines.insert(ini.lines.begin() + static_cast<long>(lastEntry) + 1, {*key + "=" + *value, "\r\n"});
  return true;
}

bool Write(const std::string& file, const char* section, const char* key, const char* value) {
  if (!section || file.empty()) return false;
  std::string sec = Trim(section);
  std::string k = key ? Trim(key) : std::string();
  std::string v = value ? std::string(value) : std::string();
  if (HasLineBreak(sec) || sec.find(']') != std::string::npos) return false;
  if (key && (HasLineBreak(k) || k.find('=') != std::string::npos || k.empty())) return false;
  if (value && HasLineBreak(v)) return false;

  std::string path = file;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::error_code ec;
    auto target = std::filesystem::canonical(path, ec);
    if (ec) return false;
    path = target.string();
  }
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  FolderLock lock(folder);
  if (!lock.held()) return false;

  IniFile ini;
  mode_t mode = 0644;
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists) {
    if (!S_ISREG(st.st_mode) || !Load(path, ini)) return false;
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (!Apply(ini, sec, key ? &k : nullptr, value ? &v : nullptr)) return true;
  return ReplaceFile(path, Encode(ini), mode);
}

// Copies a single text into a buffer of `size` units.
template <typename Char>
uint32_t CopyText(const std::basic_string<Char>& text, Char* out, uint32_t size) {
  if (!out || size == 0) return 0;
  size_t n = std::min<size_t>(text.size(), size - 1);
  std::copy(text.begin(), text.begin() + static_cast<long>(n), out);
  out[n] = 0;
  return static_cast<uint32_t>(n);
}

// Copies a NUL-separated list (each item followed by NUL) and the final NUL.
template <typename Char>
uint32_t CopyList(const std::vector<std::basic_string<Char>>& items, Char* out, uint32_t size) {
  if (!out || size == 0) return 0;
  std::basic_string<Char> all;
  for (const auto& i : items) {
    all += i;
    all += Char(0);
  }
  if (all.size() + 1 <= size) {
    std::copy(all.begin(), all.end(), out);
    out[all.size()] = 0;
    return static_cast<uint32_t>(all.size());
  }
  if (size < 2) {
    out[0] = 0;
    return 0;
  }
  std::copy(all.begin(), all.begin() + (size - 2), out);
  out[size - 2] = 0;
  out[size - 1] = 0;
  return size - 2;
}

// What a GetPrivateProfileString call asks for: one value or a list.
struct Answer {
  bool isList = false;
  std::string text;
  std::vector<std::string> items;
};

Answer Lookup(const char* section, const char* key, const char* defaultValue, const std::string& file) {
  Answer a;
  IniFile ini;
  bool loaded = Load(file, ini);
  if (!section) {
    a.isList = true;
    if (loaded) a.items = ReadProfileSectionNames(file);
    return a;
  }
  if (!key) {
    a.isList = true;
    if (loaded) {
      for (auto& e : Entries(ini, Trim(section))) a.items.push_back(e.name);
    }
    return a;
  }
  if (loaded) {
    for (auto& e : Entries(ini, Trim(section))) {
      if (SameName(e.name, Trim(key))) {
        a.text = Unquote(e.value);
        return a;
      }
    }
  }
  std::string def = defaultValue ? defaultValue : "";
  while (!def.empty() && IsBlank(def.back())) def.pop_back();
  a.text = def;
  return a;
}

uint32_t ParseInt(const std::string& text, int defaultValue, bool found) {
  if (!found) return static_cast<uint32_t>(defaultValue);
  std::string t = Trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  unsigned base = 10;
  if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  uint32_t v = 0;
  for (; i < t.size(); ++i) {
    char c = t[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else break;
    v = v * base + d;
  }
  return negative ? 0u - v : v;
}

std::vector<std::string> SectionLines(const std::string& file, const char* section) {
  std::vector<std::string> out;
  IniFile ini;
  if (!section || !Load(file, ini)) return out;
  for (auto& e : Entries(ini, Trim(section))) {
    out.push_back(e.name + "=" + e.value);
  }
  return out;
}

std::string N(const char16_t* s) { return Utf16ToUtf8(std::u16string_view(s ? s : u"", Utf16Length(s))); }

std::vector<std::u16string> Wide(const std::vector<std::string>& items) {
  std::vector<std::u16string> out;
  for (const auto& i : items) out.push_back(Utf8ToUtf16(i));
  return out;
}

}  // namespace

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* out,
                                  uint32_t size, const char* file) {
  Answer a = Lookup(section, key, defaultValue, file ? file : "");
  return a.isList ? CopyList(a.items, out, size) : CopyText(a.text, out, size);
}

uint32_t GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* file) {
  if (!section || !key || !file) return static_cast<uint32_t>(defaultValue);
  auto v = ReadProfileValue(file, section, key);
  return ParseInt(v.value_or(""), defaultValue, v.has_value());
}

uint32_t GetPrivateProfileSectionA(const char* section, char* out, uint32_t size, const char* file) {
  return CopyList(SectionLines(file ? file : "", section), out, size);
}

uint32_t GetPrivateProfileSectionNamesA(char* out, uint32_t size, const char* file) {
  return CopyList(ReadProfileSectionNames(file ? file : ""), out, size);
}

int WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* file) {
  return Write(file ? file : "", section, key, value) ? 1 : 0;
}

uint32_t GetPrivateProfileStringW(const char16_t* section, const char16_t* key, const char16_t* defaultValue,
                                  char16_t* out, uint32_t size, const char16_t* file) {
  std::string s = N(section), k = N(key), d = N(defaultValue);
  Answer a = Lookup(section ? s.c_str() : nullptr, key ? k.c_str() : nullptr, d.c_str(), N(file));
  return a.isList ? CopyList(Wide(a.items), out, size) : CopyText(Utf8ToUtf16(a.text), out, size);
}

uint32_t GetPrivateProfileIntW(const char16_t* section, const char16_t* key, int defaultValue,
                               const char16_t* file) {
  if (!section || !key || !file) return static_cast<uint32_t>(defaultValue);
  std::string s = N(section), k = N(key), f = N(file);
  return GetPrivateProfileIntA(s.c_str(), k.c_str(), defaultValue, f.c_str());
}

uint32_t GetPrivateProfileSectionW(const char16_t* section, char16_t* out, uint32_t size, const char16_t* file) {
  std::string s = N(section);
  return CopyList(Wide(SectionLines(N(file), section ? s.c_str() : nullptr)), out, size);
}

uint32_t GetPrivateProfileSectionNamesW(char16_t* out, uint32_t size, const char16_t* file) {
  return CopyList(Wide(ReadProfileSectionNames(N(file))), out, size);
}

int WritePrivateProfileStringW(const char16_t* section, const char16_t* key, const char16_t* value,
                               const char16_t* file) {
  std::string s = N(section), k = N(key), v = N(value);
  return Write(N(file), section ? s.c_str() : nullptr, key ? k.c_str() : nullptr, value ? v.c_str() : nullptr)
             ? 1
             : 0;
}

std::optional<std::string> ReadProfileValue(const std::string& file, const std::string& section,
                                            const std::string& key) {
  IniFile ini;
  if (!Load(file, ini)) return std::nullopt;
  for (auto& e : Entries(ini, Trim(section))) {
    if (SameName(e.name, Trim(key))) return Unquote(e.value);
  }
  return std::nullopt;
}

std::vector<std::string> ReadProfileSectionNames(const std::string& file) {
  std::vector<std::string> out;
  IniFile ini;
  if (!Load(file, ini)) return out;
  for (const auto& l : ini.lines) {
    Parsed p = Parse(l.text);
    if (p.kind == Kind::kSection) out.push_back(p.name);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& file,
                                                                    const std::string& section) {
  std::vector<std::pair<std::string, std::string>> out;
  IniFile ini;
  if (!Load(file, ini)) return out;
  for (auto& e : Entries(ini, Trim(section))) out.emplace_back(e.name, Unquote(e.value));
  return out;
}

bool WriteProfileValue(const std::string& file, const std::string& section, const std::string& key,
                       const std::optional<std::string>& value) {
  return Write(file, section.c_str(), key.c_str(), value ? value->c_str() : nullptr);
}

}  // namespace ks::platform
