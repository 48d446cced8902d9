// Starting programs: from an argument vector, never through a shell.
//
// Program lookup (FindProgram): a name with "/" is used as it is; a bare name is looked up
// in the program folder (install_root.h ProgramDir), then in the tool folder
// (SystemToolDir: KESTYL_SYSTEM_DIR, else <program folder>/system), then in PATH. A final
// ".exe" (any case) is dropped when the name with it does not exist. A ".bat" file (any
// case) is run as `cmd /c <file> <args...>` with cmd looked up the same way.
//
// Children: every descriptor of the caller is closed in the child (close_range), so a child
// never holds a parent's socket or file; standard input is /dev/null; standard output and
// error both go to one pipe (capture), to /dev/null (discard; never an unread pipe, which
// would kill a talkative child with SIGPIPE) or stay the caller's (inherit). The signal mask
// is emptied and every signal's disposition reset to default (SIGPIPE included). The child
// gets the caller's environment with `env` added or replaced and `unsetEnv` removed, and
// `cwd` as its folder. Preparation happens before fork: the child calls only
// async-signal-safe functions, so threads of the caller are safe.
//
// RunProcess waits without a time limit (the callers rely on that) and collects the whole
// output until every holder of the pipe has closed it. StartDetached returns at once; the
// program runs in a new session as a grandchild, so it is never the caller's zombie.
//
// Results: 0, or an errno value: ENOENT (program not found), EACCES, ENOEXEC, ... an exec
// failure in the child is reported to the caller, not as an exit code.
//
// Command lines (SplitCommandLine / JoinCommandLine) follow the rules of the Windows C
// runtime, so command texts built for the Windows tools split the same way:
//  - arguments are separated by blanks and tabs outside quotes;
//  - 2n backslashes before a quote give n backslashes and the quote opens or closes a
//    quoted part; 2n+1 backslashes before a quote give n backslashes and a literal quote;
//    backslashes not before a quote are literal;
//  - inside a quoted part, "" gives one literal quote;
//  - the first argument (the program) ends at the first blank outside quotes and takes no
//    backslash escapes.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ks::platform {

std::vector<std::string> SplitCommandLine(std::string_view line);
// Quotes an argument when it is empty or holds a blank, tab or quote (JoinCommandLine
// of one argument).
std::string QuoteArgument(const std::string& arg);
// Arguments joined by one blank, each quoted as needed; SplitCommandLine gives them back.
std::string JoinCommandLine(const std::vector<std::string>& args);

// KESTYL_SYSTEM_DIR, else ProgramDir() + "/system".
std::string SystemToolDir();
// The absolute path of the program `name` names (see above); "" when none is found.
std::string FindProgram(const std::string& name);
// argv with its program resolved and a ".bat" turned into a cmd call; false when the
// program (or cmd) cannot be found.
bool ResolveCommand(const std::vector<std::string>& argv, std::vector<std::string>& resolved);

enum class ProcessOutput {
  kDiscard,  // standard output and error on /dev/null
  kCapture,  // both into one pipe, returned in ProcessResult::output
  kInherit,  // the caller's standard output and error
};

struct ProcessOptions {
  std::string cwd;  // "" = the caller's folder
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<std::string> unsetEnv;
  ProcessOutput output = ProcessOutput::kDiscard;
};

struct ProcessResult {
  pid_t pid = 0;
  int exitCode = -1;    // the exit status, or -1 when a signal ended the child
  int termSignal = 0;   // the signal that ended it, or 0
  std::string output;   // kCapture only
};

// Runs argv[0] (looked up, see above) with the arguments and waits for it.
int RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options, ProcessResult& result);
// Starts it detached (new session; kCapture counts as kDiscard); `pid` (optional) receives
// its process id.
int StartDetached(const std::vector<std::string>& argv, const ProcessOptions& options, pid_t* pid = nullptr);

}  // namespace ks::platform
