#pragma once

#include <ostream>

#include "tools/ZolctlArgs.h"

namespace zol {

/// Exit statuses of zolctl.
namespace ZolctlExit {
inline constexpr int Done = 0;
inline constexpr int NoInstrument = 1; ///< none found, gone, or no answer in time
inline constexpr int Usage = 2;        ///< bad arguments, or a value the instrument cannot take
inline constexpr int FileRefused = 3;  ///< parameter file refused, or not written
inline constexpr int Refused = 4;      ///< refused by the instrument: write-locked, wrong password
} // namespace ZolctlExit

/// Runs one zolctl command: results on Out, messages and the trace on Err. Returns the exit
/// status. Never throws.
int RunZolctl(const TZolctlOptions &Options, std::ostream &Out, std::ostream &Err);

/// Runs zolctl on its command line (without the program name): parsing, help and the command.
int ZolctlMain(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err);

/// Asks a running monitor (or any wait) to end, as Ctrl-C does. Safe from a signal handler.
void ZolctlInterrupt();

} // namespace zol
