#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/ZolctlArgs.h"
#include "tools/ZolctlSession.h"

namespace zol {

/// Runs one zolctl command (on each instrument with --all): results on Out, messages and the
/// trace on Err. Returns the exit status. Never throws.
int RunZolctl(const TZolctlOptions &Options, std::ostream &Out, std::ostream &Err);

/// Runs zolctl on its command line (without the program name): parsing, help, the passwords
/// (from a file, the environment or standard input) and the command.
int ZolctlMain(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err);

/// Ends every wait at once, as SIGINT (Status 130), SIGTERM (143), SIGHUP (129) or SIGQUIT (131)
/// does. Not for a signal handler itself (see TSignalWatch).
void ZolctlInterrupt(int Status);

} // namespace zol
