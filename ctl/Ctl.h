#pragma once
// kestrine-ctl: what an administrator asks and changes from a shell. Qt-free; the allowed list is
// changed through the very code the window uses (numbers/AllowedListEditing.h: the PIN gate,
// the store's rules, the same log lines), so there is one set of rules.
//
// Who may: whoever the store, the log and the driver's socket let in, which is root and members
// of group kestrine in the installed layout. kestrine-ctl checks nothing itself: every read and
// write goes through the files' own permissions, so an outsider is refused by the system, and
// told so (exit 4).
//
// Exit codes: 0 done (status: protecting), 1 refused or failed, 2 wrong usage, 3 status: not
// protecting, 4 no access.
#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "numbers/Prompts.h"

namespace kestrine::ctl {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotProtecting = 3;
inline constexpr int kExitNoAccess = 4;

struct CtlEnvironment {
    Prompts& prompts;   // questions and messages (the terminal's, or a test's script)
    std::ostream& out;  // results
    std::ostream& err;  // messages
    std::filesystem::path programDirectory;  // where qdlog.log lies
    // `log -f`: called between looks at the log for new lines; false ends following.
    std::function<bool()> keepFollowing = [] { return false; };
};

int RunCtl(const std::vector<std::string>& args, CtlEnvironment& environment);

std::string UsageText();

}  // namespace kestrine::ctl
