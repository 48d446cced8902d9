// cmd: runs batch files, line by line, without a shell.
//
//   cmd /c <file.bat> [args...]      (also /C; "/c <command line>" runs that one line)
//
// Each line is trimmed; blank lines, "@echo off"/"echo off", "rem ..." and "::..." are
// skipped; a leading "@" is dropped. A line is split by the Windows command-line rules
// (process.h) and its program found as process.h FindProgram does; the program runs with
// cmd's own standard output and error and is waited for. "echo <text>" prints the text;
// "exit [/b] [n]" ends with n. "start ["title"] [/B] [/MIN] prog args" starts prog
// detached with its standard streams on /dev/null, so a caller reading cmd's output is not
// held up by it. Nothing is interpreted: a line with & | < > or ^ outside quotes makes the
// whole file refused before anything runs ("The syntax of the command is incorrect.",
// exit 1). The exit code is that of the last line run (9009 shown, 1 returned, for a
// program that cannot be found).
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process.h"

using namespace ks::platform;

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool StartsWithWord(const std::string& line, const char* word) {
  size_t n = std::strlen(word);
  return line.size() >= n && strncasecmp(line.c_str(), word, n) == 0 &&
         (line.size() == n || line[n] == ' ' || line[n] == '\t');
}

bool Skipped(const std::string& line) {
  return line.empty() || strcasecmp(line.c_str(), "echo off") == 0 || StartsWithWord(line, "rem") ||
         line.rfind("::", 0) == 0;
}

bool HasOperator(const std::string& line) {
  bool quoted = false;
  for (char c : line) {
    if (c == '"') quoted = !quoted;
    else if (!quoted && (c == '&' || c == '|' || c == '<' || c == '>' || c == '^')) return true;
  }
  return false;
}

std::string Clean(const std::string& raw) {
  std::string line = Trim(raw);
  if (!line.empty() && line[0] == '@') line = Trim(line.substr(1));
  return line;
}

int Start(const std::string& line) {
  std::string rest = Trim(line.substr(5));
  bool hasTitle = !rest.empty() && rest[0] == '"';
  std::vector<std::string> args = SplitCommandLine("start " + rest);
  size_t i = 1;
  if (hasTitle && i < args.size()) ++i;
  bool wait = false;
  // Only the switches of start: a program path begins with "/" too.
  static const char* const kSwitches[] = {"/b", "/min", "/max", "/wait", "/i", "/low", "/normal", "/high",
                                          "/realtime", "/abovenormal", "/belownormal", "/separate", "/shared"};
  while (i < args.size()) {
    bool isSwitch = false;
    for (const char* sw : kSwitches) isSwitch = isSwitch || strcasecmp(args[i].c_str(), sw) == 0;
    if (!isSwitch) break;
    if (strcasecmp(args[i].c_str(), "/wait") == 0) wait = true;
    ++i;
  }
  if (i >= args.size()) return 0;
  std::vector<std::string> argv(args.begin() + static_cast<long>(i), args.end());
  ProcessOptions options;
  int rc;
  if (wait) {
    ProcessResult result;
    rc = RunProcess(argv, options, result);
    if (!rc) return result.exitCode < 0 ? 1 : result.exitCode;
  } else {
    rc = StartDetached(argv, options);
  }
  if (rc) {
    std::cerr << "The system cannot find the file " << argv[0] << ".\n";
    return 1;
  }
  return 0;
}

// Runs one cleaned line; sets `exit` when the line was "exit".
int RunLine(const std::string& line, bool& exit) {
  if (StartsWithWord(line, "echo") || strcasecmp(line.c_str(), "echo.") == 0) {
    std::cout << (line.size() > 5 ? line.substr(5) : "") << "\n" << std::flush;
    return 0;
  }
  if (StartsWithWord(line, "exit")) {
    exit = true;
    std::vector<std::string> args = SplitCommandLine(line);
    size_t i = 1;
    if (i < args.size() && strcasecmp(args[i].c_str(), "/b") == 0) ++i;
    return i < args.size() ? std::atoi(args[i].c_str()) : 0;
  }
  if (StartsWithWord(line, "start")) return Start(line);
  std::vector<std::string> argv = SplitCommandLine(line);
  if (argv.empty()) return 0;
  ProcessOptions options;
  options.output = ProcessOutput::kInherit;
  ProcessResult result;
  std::cout << std::flush;
  int rc = RunProcess(argv, options, result);
  if (rc) {
    std::cerr << "'" << argv[0] << "' is not recognized as an internal or external command,\n"
              << "operable program or batch file.\n";
    return 1;
  }
  return result.exitCode < 0 ? 1 : result.exitCode;
}

int RunLines(const std::vector<std::string>& lines) {
  for (const auto& raw : lines) {
    if (HasOperator(Clean(raw))) {
      std::cerr << "The syntax of the command is incorrect.\n";
      return 1;
    }
  }
  int code = 0;
  for (const auto& raw : lines) {
    std::string line = Clean(raw);
    if (Skipped(line)) continue;
    bool exit = false;
    code = RunLine(line, exit);
    if (exit) break;
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || strcasecmp(argv[1], "/c") != 0) {
    std::cerr << "Usage: cmd /c <file.bat> [arguments]\n";
    return 1;
  }
  std::string first = argv[2];
  bool batch = first.size() >= 4 && strcasecmp(first.c_str() + first.size() - 4, ".bat") == 0;
  if (!batch) {
    std::string line;
    for (int i = 2; i < argc; ++i) line += (i > 2 ? " " : "") + QuoteArgument(argv[i]);
    if (argc == 3) line = argv[2];  // one text: a whole command line
    return RunLines({line});
  }
  std::ifstream in(first, std::ios::binary);
  if (!in) {
    std::cerr << "The system cannot find the path specified.\n";
    return 1;
  }
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return RunLines(lines);
}
