// Account registration with the vendor's web service, without the agent.
//
// RegisterAccount(email, password) hashes the password with MD5-crypt and the fixed salt
// "$1$qumvat$" through crypt.dll (loaded by absolute path from the program folder for each
// hash, never by search order), posts the form
//   Email=<e-mail, lower-cased>&Password=<22 hash characters>&Check=<token>
// to $KESTYL_WEB_URL/kestyl/register.html and returns the integer "status" of the JSON
// reply. Form values are percent-encoded only where a byte would bend the form ("&", "=",
// "+", "%", blank, control characters and non-ASCII bytes); "@" and the rest stay as typed.
//
// Results:
//   -6   the password is null or holds a byte outside 0x20..0x7E (nothing sent)
//   -42  the HTTP client timed out
//   -43  the HTTP client failed, or the reply is not JSON
//   -44  no usable hash: crypt.dll or its export missing, or a result that does not begin
//        with the salt followed by 22 hash characters (nothing sent)
//   -45  the reply is JSON but not an object, or its "status" is not an integer
//   else the reply's "status"; 0 when it is missing or null.
// Blocking; meant for a worker thread. Shares no state between calls; thread-safe.
#pragma once

#include <string>

namespace ks::desktop {

inline constexpr const char* kCryptSalt = "$1$qumvat$";
inline constexpr size_t kCryptSaltLength = 10;
inline constexpr size_t kCryptHashLength = 22;
inline constexpr const char* kRegisterCheckToken = "5e0a93c7d2b14f68a0c3e9b7f1d52a84";
inline constexpr const char* kCryptLibraryName = "crypt.dll";

inline constexpr int kRegisterBadPassword = -6;
inline constexpr int kRegisterTimeout = -42;
inline constexpr int kRegisterNetworkError = -43;
inline constexpr int kRegisterNoHash = -44;
inline constexpr int kRegisterBadReply = -45;

int RegisterAccount(const char* email, const char* password);

// Hash text of the password into `out` (NUL-terminated, at most 63 characters): 0, or -1
// when the library or its export is missing or the result is not salt + 22 hash characters.
int HashPassword(char out[64], const char* password);
// Path of the crypt library: <program folder>/crypt.dll.
std::string CryptLibraryPath();

// When the salt text occurs in `text`, removes its first 10 characters in place; else
// leaves it unchanged. Returns `text` (null stays null).
char* StripCryptSalt(char* text);

// One form value, percent-encoded where it would bend the form (see above; upper-case hex).
std::string EncodeFormValue(const std::string& value);
// "Email=" e-mail "&Password=" hash "&Check=" token, each value through EncodeFormValue.
std::string BuildRegisterForm(const std::string& email, const std::string& hash,
                              const std::string& token);

// The code a reply body stands for: the "status" rule above (-43, -45, 0 or the status).
// Never throws, whatever the text.
int ParseRegisterReply(const std::string& reply);

}  // namespace ks::desktop
