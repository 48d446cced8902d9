// crypt.dll: the password-hash library the desktop program loads by absolute path from its
// program folder. An ELF shared object (the name is kept for the loader's sake) exporting
//   char *crypt(const char *key, const char *salt)
// over the system's crypt_r, with a result buffer per thread, so concurrent callers never
// see each other's hashes. Null key or salt, or a salt the system cannot use: null.
// crypt_rn, not crypt_r: sanitizer runtimes intercept crypt_r and, when libcrypt arrives
// later through dlopen, forward the call to a null address.
#include <crypt.h>

#include <cstring>

extern "C" __attribute__((visibility("default"))) char* crypt(const char* key, const char* salt) {
  thread_local crypt_data data;
  if (!key || !salt) return nullptr;
  std::memset(&data, 0, sizeof data);
  char* out = crypt_rn(key, salt, &data, static_cast<int>(sizeof data));
  if (!out || out[0] == '*') return nullptr;
  return out;
}
