// ks-ksl-pack: turns a language file source (UTF-8, LF or CR LF line ends) into the form the
// programs read: UTF-16LE with a byte-order mark and CR LF line ends.
//
//   ks-ksl-pack <source.ksl> <installed.ksl>
//
// Exit 0 when the installed file was written; 1 with a message on stderr when the source is
// not strict UTF-8 (overlong forms, surrogates, code points above U+10FFFF, a bare CR or a
// NUL are refused) or a file cannot be read or written. The output appears under its final
// name only when it is complete, so a failed run never leaves a half file behind.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

struct Failure {
  std::string what;
};

// Decodes one UTF-8 sequence at text[pos], advancing pos; throws on anything not strict.
char32_t DecodeOne(const std::string& text, size_t& pos, size_t line) {
  auto fail = [&](const char* why) {
    throw Failure{"line " + std::to_string(line) + ": " + why};
  };
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  size_t extra = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
    minimum = 0x10000;
  } else {
    fail("invalid UTF-8 lead byte");
  }
  if (pos + extra >= text.size()) fail("truncated UTF-8 sequence");
  for (size_t i = 1; i <= extra; ++i) {
    unsigned char c = static_cast<unsigned char>(text[pos + i]);
    if ((c & 0xC0) != 0x80) fail("invalid UTF-8 continuation byte");
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < minimum) fail("overlong UTF-8 form");
  if (cp >= 0xD800 && cp <= 0xDFFF) fail("UTF-8 encoded surrogate");
  if (cp > 0x10FFFF) fail("code point above U+10FFFF");
  pos += extra + 1;
  return cp;
}

void PutUnit(std::string& out, unsigned unit) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>(unit >> 8));
}

std::string Pack(const std::string& source) {
  std::string out;
  out.reserve(source.size() * 2 + 4);
  PutUnit(out, 0xFEFF);
  size_t pos = 0;
  size_t line = 1;
  // A UTF-8 byte-order mark in the source is not text.
  if (source.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  bool line_open = false;
  while (pos < source.size()) {
    char32_t cp = DecodeOne(source, pos, line);
    if (cp == U'\r') {
      if (pos >= source.size() || source[pos] != '\n') {
        throw Failure{"line " + std::to_string(line) + ": carriage return without line feed"};
      }
      continue;  // the line feed that follows writes the line end
    }
    if (cp == U'\n') {
      PutUnit(out, '\r');
      PutUnit(out, '\n');
      ++line;
      line_open = false;
      continue;
    }
    if (cp == 0) throw Failure{"line " + std::to_string(line) + ": NUL character"};
    if (cp >= 0x10000) {
      char32_t v = cp - 0x10000;
      PutUnit(out, 0xD800 + static_cast<unsigned>(v >> 10));
      PutUnit(out, 0xDC00 + static_cast<unsigned>(v & 0x3FF));
    } else {
      PutUnit(out, static_cast<unsigned>(cp));
    }
    line_open = true;
  }
  if (line_open) {
    PutUnit(out, '\r');
    PutUnit(out, '\n');
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: ks-ksl-pack <source.ksl> <installed.ksl>\n");
    return 1;
  }
  const std::string source_path = argv[1];
  const std::string out_path = argv[2];
  try {
    std::ifstream in(source_path, std::ios::binary);
    if (!in) throw Failure{"cannot read the source"};
    std::string source((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw Failure{"cannot read the source"};
    std::string packed = Pack(source);

    const std::string tmp_path = out_path + ".tmp";
    {
      std::ofstream out(tmp_path, std::ios::binary | std::ios::trunc);
      if (!out) throw Failure{"cannot create " + tmp_path};
      out.write(packed.data(), static_cast<std::streamsize>(packed.size()));
      out.close();
      if (!out) {
        std::remove(tmp_path.c_str());
        throw Failure{"cannot write " + tmp_path};
      }
    }
    if (std::rename(tmp_path.c_str(), out_path.c_str()) != 0) {
      int err = errno;
      std::remove(tmp_path.c_str());
      throw Failure{"cannot rename to " + out_path + ": " + std::strerror(err)};
    }
  } catch (const Failure& f) {
    std::fprintf(stderr, "ks-ksl-pack: %s: %s\n", source_path.c_str(), f.what.c_str());
    return 1;
  }
  return 0;
}
