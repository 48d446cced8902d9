// A crypt library that answers with a hash of another salt: the registration must refuse it.
extern "C" __attribute__((visibility("default"))) char* crypt(const char*, const char*) {
  static char text[] = "$1$other0$abcdefghijklmnopqrstuv";
  return text;
}
