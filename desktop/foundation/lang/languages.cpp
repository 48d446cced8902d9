#include "desktop/foundation/lang/languages.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

namespace ks::desktop {

namespace {

std::mutex g_mutex;  // guards the globals below
CLanguages* g_instance = nullptr;
CLanguages::ConfiguredLanguageHook g_config_hook;
CLanguages::LogHook g_log_hook;
std::string g_folder;

void Log(const std::string& line) {
  CLanguages::LogHook hook;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    hook = g_log_hook;
  }
  if (hook) hook(line);
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes UTF-8 into code points; anything not strict UTF-8 becomes U+FFFD (one per byte).
std::u32string DecodeUtf8(const std::string& text) {
  std::u32string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[pos]);
    size_t extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      out.push_back(lead);
      ++pos;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07, minimum = 0x10000;
    } else {
      out.push_back(0xFFFD);
      ++pos;
      continue;
    }
    bool ok = pos + extra < text.size();
    for (size_t i = 1; ok && i <= extra; ++i) {
      unsigned char c = static_cast<unsigned char>(text[pos + i]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (ok && (cp < minimum || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)) ok = false;
    if (!ok) {
      out.push_back(0xFFFD);
      ++pos;
      continue;
    }
    out.push_back(cp);
    pos += extra + 1;
  }
  return out;
}

// Decodes UTF-16 units (little or big endian bytes) into code points; lone surrogates
// become U+FFFD; an odd last byte is dropped.
std::u32string DecodeUtf16Bytes(const std::string& bytes, size_t start, bool little) {
  std::u32string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](size_t i) -> char16_t {
    unsigned char a = static_cast<unsigned char>(bytes[i]);
    unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
    return little ? static_cast<char16_t>(a | (b << 8)) : static_cast<char16_t>((a << 8) | b);
  };
  size_t i = start;
  while (i + 1 < bytes.size()) {
    char16_t u = unit(i);
    i += 2;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < bytes.size()) {
      char16_t v = unit(i);
      if (v >= 0xDC00 && v <= 0xDFFF) {
        out.push_back(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (v - 0xDC00));
        i += 2;
        continue;
      }
    }
    out.push_back((u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
  }
  return out;
}

std::u32string DecodeFile(const std::string& bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return DecodeUtf16Bytes(bytes, 2, true);
  if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') return DecodeUtf16Bytes(bytes, 2, false);
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return DecodeUtf8(bytes.substr(3));
  return DecodeUtf8(bytes);
}

std::string ToUtf8(const std::u32string& text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t cp : text) AppendUtf8(out, cp);
  return out;
}

bool IsBlank(char32_t c) { return c == U' ' || c == U'\t'; }

std::u32string Trim(const std::u32string& s) {
  size_t a = 0;
  size_t b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

bool EqualsAsciiNoCase(const std::u32string& a, const char* b) {
  size_t n = 0;
  for (; b[n]; ++n) {
    if (n >= a.size()) return false;
    char32_t x = a[n];
    char32_t y = static_cast<unsigned char>(b[n]);
    if (x >= U'a' && x <= U'z') x -= 32;
    if (y >= U'a' && y <= U'z') y -= 32;
    if (x != y) return false;
  }
  return n == a.size();
}

// The integer reading of a profile value: optional sign, then decimal digits; no digits -> 0.
int ProfileInt(const std::u32string& value) {
  std::string narrow;
  for (char32_t c : value) {
    if (c >= 0x80) break;
    narrow.push_back(static_cast<char>(c));
  }
  errno = 0;
  long v = std::strtol(narrow.c_str(), nullptr, 10);
  if (errno == ERANGE || v > INT_MAX || v < INT_MIN) return v < 0 ? INT_MIN : INT_MAX;
  return static_cast<int>(v);
}

// A profile string value: blanks around dropped, then one pair of surrounding quotes.
std::u32string ProfileString(const std::u32string& value) {
  std::u32string v = Trim(value);
  if (v.size() >= 2 && ((v.front() == U'"' && v.back() == U'"') || (v.front() == U'\'' && v.back() == U'\'')))
    v = v.substr(1, v.size() - 2);
  return v;
}

std::u16string ToUtf16(const std::u32string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (char32_t cp : text) {
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

struct RawSection {
  std::u32string name;
  std::vector<std::u32string> lines;
};

std::vector<RawSection> SplitSections(const std::u32string& text) {
  std::vector<RawSection> sections;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = pos;
    while (end < text.size() && text[end] != U'\r' && text[end] != U'\n') ++end;
    std::u32string line = text.substr(pos, end - pos);
    pos = end;
    if (pos < text.size() && text[pos] == U'\r') {
      ++pos;
      if (pos < text.size() && text[pos] == U'\n') ++pos;  // CR LF
    } else if (pos < text.size()) {
      ++pos;  // LF
    }

    std::u32string lead = Trim(line);
    if (!lead.empty() && lead.front() == U'[') {
      size_t close = lead.find(U']');
      if (close != std::u32string::npos) {
        sections.push_back(RawSection{Trim(lead.substr(1, close - 1)), {}});
        continue;
      }
    }
    if (sections.empty()) continue;  // nothing counts before the first section
    if (!lead.empty() && lead.front() == U';') continue;
    sections.back().lines.push_back(std::move(line));
  }
  return sections;
}

std::string ReadWholeFile(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  if (!ok) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string LanguageFont::NameUtf8() const { return Utf16ToUtf8(name); }

std::u16string Utf8ToUtf16(const std::string& text) { return ToUtf16(DecodeUtf8(text)); }

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t u : text) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return ToUtf8(DecodeUtf16Bytes(bytes, 0, true));
}

std::string ProgramFolder() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0 || static_cast<size_t>(n) >= buf.size() - 1) return {};
  std::string path(buf.data(), static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// ---- process-wide object and settings ----

ILanguages* CLanguages::GetInstance() {
  std::unique_lock<std::mutex> lock(g_mutex);
  if (!g_instance) {
    lock.unlock();  // the constructor loads a file and calls the hooks, which take the lock
    CLanguages* made = nullptr;
    try {
      made = new CLanguages();
    } catch (...) {
      return nullptr;
    }
    lock.lock();
    if (g_instance) {
      delete made;  // another thread made it first
    } else {
      g_instance = made;
    }
  }
  ++g_instance->refs_;
  return g_instance;
}

void CLanguages::SetConfiguredLanguageHook(ConfiguredLanguageHook hook) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_config_hook = std::move(hook);
}

void CLanguages::SetLogHook(LogHook hook) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_log_hook = std::move(hook);
}

void CLanguages::SetLanguageFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_folder = folder;
}

std::string CLanguages::LanguageFolder() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_folder.empty()) return g_folder;
  }
  return ProgramFolder();
}

unsigned CLanguages::SystemLanguageId() {
  if (const char* id = std::getenv("KESTYL_LANGID"); id && *id) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(id, &end, 16);
    if (errno == 0 && end && *end == '\0' && v <= 0xFFFF) return static_cast<unsigned>(v);
  }
  const char* lang = std::getenv("LANG");
  std::string l = lang ? lang : "";
  l = l.substr(0, l.find_first_of(".@"));
  if (l == "zh_CN") return 0x0804;
  if (l == "zh_TW" || l == "zh_HK") return 0x0404;
  return 0x0409;
}

int CLanguages::IndexForLanguageId(unsigned langid) {
  unsigned primary = langid & 0x3FF;
  unsigned sub = (langid >> 10) & 0x3F;
  if (primary == 0x04 && sub == 2) return 0;
  if (primary == 0x04 && sub == 1) return 2;
  return 1;
}

CLanguages::CLanguages() { ChooseLanguage(); }

CLanguages::CLanguages(int index) { LoadLanguage(index); }

CLanguages::~CLanguages() {
  Clear();
  listeners_.clear();
}

int CLanguages::AddRef() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return ++refs_;
}

int CLanguages::Release() {
  std::unique_lock<std::mutex> lock(g_mutex);
  if (--refs_ > 0) return refs_;
  refs_ = 0;
  if (g_instance == this) g_instance = nullptr;
  lock.unlock();
  delete this;
  return 0;
}

void CLanguages::RegisterCallBack(ILanguageCallBack* callback) {
  if (callback) listeners_.insert(callback);
}

void CLanguages::UnregisterCallBack(ILanguageCallBack* callback) { listeners_.erase(callback); }

bool CLanguages::IsLoaded() const { return !texts_.empty(); }

void CLanguages::Clear() {
  texts_.clear();
  fonts_.clear();
}

void CLanguages::LoadLanguage(int index) {
  if (index < 0 || index > 2) {
    Log("language index " + std::to_string(index) + " ignored: there is no such language");
    return;
  }
  Clear();
  previous_ = current_;
  current_ = index;
  std::string folder = LanguageFolder();
  path_ = folder + (folder.empty() || folder.back() == '/' ? "" : "/") + kFileNames[index];
  bool ok = false;
  std::string bytes = ReadWholeFile(path_, ok);
  if (ok) ReadFile(bytes);
  // A listener may unregister itself while being told: walk a copy.
  std::set<ILanguageCallBack*> listeners = listeners_;
  for (ILanguageCallBack* l : listeners) {
    if (listeners_.count(l)) l->OnLanguageChanged();
  }
}

void CLanguages::ReadFile(const std::string& bytes) {
  std::vector<RawSection> sections = SplitSections(DecodeFile(bytes));
  std::set<std::u32string> seen;
  for (const RawSection& s : sections) {
    if (!seen.insert(s.name).second) continue;
    std::string name = ToUtf8(s.name);
    if (name.find("FONT_") != std::string::npos) {
      auto font = std::make_unique<LanguageFont>();
      bool have_name = false, have_height = false, have_weight = false;
      for (const std::u32string& line : s.lines) {
        size_t eq = line.find(U'=');
        if (eq == std::u32string::npos) continue;
        std::u32string key = Trim(line.substr(0, eq));
        std::u32string value = line.substr(eq + 1);
        if (!have_name && EqualsAsciiNoCase(key, "FONT_NAME")) {
          have_name = true;
          std::u16string n = ToUtf16(ProfileString(value));
          if (n.size() > 31) {
            n.resize(31);
            if (n.back() >= 0xD800 && n.back() <= 0xDBFF) n.pop_back();  // no half pair
          }
          font->name = n;
        } else if (!have_height && EqualsAsciiNoCase(key, "FONT_HEIGHT")) {
          have_height = true;
          font->height = ProfileInt(Trim(value));
        } else if (!have_weight && EqualsAsciiNoCase(key, "FONT_WEIGHT")) {
          have_weight = true;
          font->weight = ProfileInt(Trim(value));
        }
      }
      fonts_.emplace(name, std::move(font));
    } else {
      for (const std::u32string& line : s.lines) {
        size_t eq = line.find(U'=');
        if (eq == std::u32string::npos) continue;
        texts_[name][ToUtf8(line.substr(0, eq))] = ToUtf8(line.substr(eq + 1));
      }
    }
  }
}

std::string CLanguages::GetTextA(const std::string& section, const std::string& key) const {
  auto s = texts_.find(section);
  if (s == texts_.end()) return {};
  auto k = s->second.find(key);
  if (k == s->second.end()) return {};
  return k->second;
}

std::u16string CLanguages::GetText(const std::string& section, const std::string& key) const {
  return Utf8ToUtf16(GetTextA(section, key));
}

const LanguageFont* CLanguages::GetFont(const std::string& section) const {
  auto f = fonts_.find(section);
  if (f != fonts_.end()) return f->second.get();
  f = fonts_.find("FONT_DEFAULT");
  if (f != fonts_.end()) return f->second.get();
  return nullptr;
}

void CLanguages::LoadDefaultLanguage() { ChooseLanguage(); }

void CLanguages::ChooseLanguage() {
  ConfiguredLanguageHook hook;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    hook = g_config_hook;
  }
  if (hook) {
    std::optional<std::string> configured = hook();
    if (configured && !configured->empty()) {
      int n = std::atoi(configured->c_str());
      if (n >= 0) {
        LoadLanguage(n == 0 ? 0 : n == 2 ? 2 : 1);
        return;
      }
    }
  }
  LoadLanguage(IndexForLanguageId(SystemLanguageId()));
}

}  // namespace ks::desktop
