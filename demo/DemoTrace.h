// --trace: the demo runs itself again as a debuggee with the library's Trace value set, and
// prints the lines the library writes with OutputDebugStringA as they arrive.
#ifndef QUENDA_DEMO_TRACE_H
#define QUENDA_DEMO_TRACE_H

#include <string>
#include <vector>

namespace demo {

// `childArgs` are the demo's own options without --trace. Gives the child's exit code, or 1 when
// it could not be run.
[[nodiscard]] int RunTraced(const std::vector<std::string>& childArgs);

// One command-line argument, quoted so that the C runtime's parser gives it back unchanged.
[[nodiscard]] std::string QuoteArgument(const std::string& arg);

} // namespace demo

#endif
