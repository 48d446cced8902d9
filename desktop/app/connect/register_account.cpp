#include "desktop/app/connect/register_account.h"

#include "desktop/foundation/http/http_client.h"
#include "desktop/foundation/util/ks_util.h"
#include "desktop/foundation/web/web.h"

#include <json/json.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

namespace ks::desktop {

namespace {

using CryptFn = char* (*)(const char*, const char*);

bool IsHashChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
         c == '/';
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

std::string CryptLibraryPath() { return CKSUtil::GetModuleFolder(true) + "/" + kCryptLibraryName; }

char* StripCryptSalt(char* text) {
  if (text == nullptr || std::strstr(text, kCryptSalt) == nullptr) return text;
  size_t length = std::strlen(text);
  if (length < kCryptSaltLength) return text;  // cannot happen: the salt itself is 10 long
  std::memmove(text, text + kCryptSaltLength, length - kCryptSaltLength + 1);
  return text;
}

int HashPassword(char out[64], const char* password) {
  out[0] = '\0';
  std::string path = CryptLibraryPath();
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return -1;
  auto crypt = reinterpret_cast<CryptFn>(::dlsym(library, "crypt"));
  int rc = -1;
  if (crypt != nullptr) {
    const char* result = crypt(password, kCryptSalt);
    // Only "<salt><22 hash characters>" is a hash the service can compare.
    if (result != nullptr && std::strlen(result) == kCryptSaltLength + kCryptHashLength &&
        std::strncmp(result, kCryptSalt, kCryptSaltLength) == 0) {
      bool ok = true;
      for (size_t i = kCryptSaltLength; i < kCryptSaltLength + kCryptHashLength; ++i) ok = ok && IsHashChar(result[i]);
      if (ok) {
        std::snprintf(out, 64, "%s", result);
        StripCryptSalt(out);
        rc = 0;
      }
    }
  }
  ::dlclose(library);
  return rc;
}

std::string EncodeFormValue(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    bool bends = c == '&' || c == '=' || c == '+' || c == '%' || c == ' ' || c < 0x20 || c >= 0x7F;
    if (bends) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string BuildRegisterForm(const std::string& email, const std::string& hash, const std::string& token) {
  return "Email=" + EncodeFormValue(email) + "&Password=" + EncodeFormValue(hash) +
         "&Check=" + EncodeFormValue(token);
}

int ParseRegisterReply(const std::string& reply) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  try {
    if (!reader->parse(reply.data(), reply.data() + reply.size(), &root, &errors))
      return kRegisterNetworkError;
  } catch (const std::exception&) {
    return kRegisterNetworkError;
  }
  if (!root.isObject()) return kRegisterBadReply;
  const Json::Value* status = root.find("status", "status" + 6);
  if (status == nullptr || status->isNull()) return 0;
  if (!status->isInt()) return kRegisterBadReply;
  return status->asInt();
}

int RegisterAccount(const char* email, const char* password) {
  if (password == nullptr) return kRegisterBadPassword;
  for (const char* p = password; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c > 0x7E) return kRegisterBadPassword;
  }
  char hash[64];
  if (HashPassword(hash, password) != 0) return kRegisterNoHash;

  std::string body = BuildRegisterForm(LowerAscii(email != nullptr ? email : ""), hash, kRegisterCheckToken);
  std::string reply;
  int rc;
  {
    CHttpClient client(web::PageUrl(web::kRegisterPost));
    rc = client.Post(body, reply);
  }
  if (rc == 1) return kRegisterNetworkError;
  if (rc == 2) return kRegisterTimeout;
  return ParseRegisterReply(reply);
}

}  // namespace ks::desktop
