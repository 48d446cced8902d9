// Small file operations in the configuration folder and the program's text log.
#include "desktop/foundation/util/ks_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

bool EndsWithBat(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == ".bat";
}

// "\n" not already preceded by "\r" becomes "\r\n".
std::string WithCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::mutex& AppendLogMutex() {
  static std::mutex* m = new std::mutex;  // outlives every thread that may still log
  return *m;
}

}  // namespace

bool CKSUtil::FileExists(const char* path) {
  if (!path || !*path) return false;
  FILE* f = std::fopen(path, "r");
  if (!f) return false;
  std::fclose(f);
  return true;
}

bool CKSUtil::FolderExists(const char* path) {
  if (!path || !*path) return false;
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool CKSUtil::CreateFolder(const char* path) {
  if (!path || !*path) return false;
  return ::mkdir(path, 0777) == 0;
}

bool CKSUtil::WriteTextFile(const std::string& name, const std::string& text, int length) {
  std::string path = GetConfigFolder() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "w+");
  if (!f) return false;
  std::string body = length < 0 ? text : text.substr(0, static_cast<size_t>(length));
  if (EndsWithBat(name)) body = WithCrLf(body);
  bool ok = std::fwrite(body.data(), 1, body.size(), f) == body.size();
  if (std::fclose(f) != 0) ok = false;
  return ok && FileExists(path.c_str());
}

bool CKSUtil::RemoveFile(const std::string& name) {
  std::string path = GetConfigFolder() + "/" + name;
  if (::unlink(path.c_str()) == 0) return true;
  struct stat st;
  return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

void CKSUtil::AppendLog(const std::string& text) {
  std::string path = GetConfigFolder() + "/Kestyl.log";
  std::lock_guard<std::mutex> lock(AppendLogMutex());
  FILE* f = std::fopen(path.c_str(), "a+");
  if (!f) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}
