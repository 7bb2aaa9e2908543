#pragma once

#include <iosfwd>
#include <string>
#include <vector>

class ITermLink;

namespace termlink {

// Exit statuses of termctl.
inline constexpr int kExitTrue = 0;
inline constexpr int kExitFalse = 1;
inline constexpr int kExitFailure = 2; // a failure status or bad usage

// termctl [--key N] ADDR OPERATION [ARGS...]: sets the key, connects to ADDR on
// port 4370, runs one operation with MachineNumber 1 and prints the result
// ("true"/"false") and, for operations that read a text, the text on a second
// line. `args` excludes the program name. Messages go to `err`.
int runTermCtl(const std::vector<std::string>& args, ITermLink& link, std::ostream& out, std::ostream& err);

std::string termCtlUsage();

} // namespace termlink
