#include "tools/ZolctlArgs.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string_view>

#include "protocol/Utils.h"
#include "protocol/ZOL.h"

namespace zol {

namespace {

struct CommandInfo {
  const char *Name;
  TZolctlCommand Command;
  const char *Usage;
  const char *Help;
};

const CommandInfo kCommands[] = {
    {"list", TZolctlCommand::List, "list",
     "Lists the matching instruments: index, path, manufacturer, product, serial number.\n"
     "Instruments that are present but cannot be opened are named with the reason and the fix."},
    {"state", TZolctlCommand::State, "state",
     "Prints the measurement, relays, LEDs, write lock, option flags, raw value and Rt."},
    {"read", TZolctlCommand::Read, "read", "Reads tag, filter and both alarms."},
    {"write-tag", TZolctlCommand::WriteTag, "write-tag TEXT",
     "Sends a tag of up to 16 characters (letters are sent in upper case; the instrument keeps\n"
     "space, digits, upper-case letters and punctuation), then reads it back."},
    {"write-filter", TZolctlCommand::WriteFilter, "write-filter SECONDS",
     "Sends the damping filter in seconds (a point as decimal separator), then reads it back."},
    {"write-alarm", TZolctlCommand::WriteAlarm,
     "write-alarm 1|2 [--setpoint C] [--hysteresis C] [--delay S] [--nc|--no]\n"
     "                  [--fail-closed|--fail-open] [--led-below|--led-above]",
     "Changes the settings of alarm 1 or 2 and reads them back. Fields not given keep the\n"
     "instrument's values (read first). Set point and hysteresis: -3276.8 to 3276.7 C;\n"
     "delay: 0 to 25.5 s in tenths."},
    {"save", TZolctlCommand::Save, "save FILE",
     "Reads all settings, then writes them to a parameter file (88 bytes, extension ZOL)."},
    {"load", TZolctlCommand::Load, "load FILE",
     "Reads a parameter file, sends it with the write-all chain, then reads the settings back\n"
     "to check that the instrument holds them."},
    {"show", TZolctlCommand::Show, "show FILE", "Prints a parameter file; needs no instrument."},
    {"unlock", TZolctlCommand::Unlock, "unlock PASSWORD",
     "Unlocks a write-locked instrument (exit status 4 when the password is wrong)."},
    {"change-password", TZolctlCommand::ChangePassword, "change-password NEW",
     "Changes the password: 4 to 8 characters, sent in upper case."},
    {"lost-password", TZolctlCommand::LostPassword, "lost-password",
     "Reads the crypted password; give it and the serial number to the maker."},
    {"history", TZolctlCommand::History, "history",
     "Reads the instrument's 8 write-operation records, slot 0 the newest."},
    {"monitor", TZolctlCommand::Monitor, "monitor [--count N]",
     "Prints one line per state answer, until N lines or Ctrl-C."},
    {"ping", TZolctlCommand::Ping, "ping", "Sends a ping and checks the echo."},
    {"info", TZolctlCommand::Info, "info",
     "Reads the information block and tells whether the USB interface firmware is programmed."},
    {"adjust-zero", TZolctlCommand::AdjustZero, "adjust-zero", "Zero adjustment (maker's use)."},
    {"adjust-full-scale", TZolctlCommand::AdjustFullScale, "adjust-full-scale",
     "Full-scale adjustment (maker's use)."},
    {"reset-all", TZolctlCommand::ResetAll, "reset-all",
     "Returns the settings to the factory values (maker's use)."},
};

const CommandInfo *FindCommand(std::string_view Name) {
  for (const CommandInfo &c : kCommands)
    if (Name == c.Name)
      return &c;
  return nullptr;
}

bool ParseFloat(const std::string &Text, float &Value) {
  const char *first = Text.data();
  const char *last = first + Text.size();
  if (first != last && *first == '+')
    ++first;
  const auto [end, ec] = std::from_chars(first, last, Value);
  return ec == std::errc() && end == last && std::isfinite(Value);
}

bool ParseInt(const std::string &Text, long Low, long High, long &Value) {
  const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return ec == std::errc() && end == Text.data() + Text.size() && Value >= Low && Value <= High;
}

std::string Upper(std::string Text) {
  for (char &c : Text)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Text;
}

/// The text as the instrument can keep it, or an error.
std::string CheckText(const std::string &What, const std::string &Text, std::size_t MaxLength) {
  if (Text.size() > MaxLength)
    return What + " has " + std::to_string(Text.size()) + " characters; the instrument keeps " +
           std::to_string(MaxLength);
  if (!IsPackable(Text))
    return What + " \"" + Text +
           "\" holds a character the instrument cannot keep (use space, digits, A-Z and "
           "punctuation)";
  return {};
}

std::string CheckTenths(const char *What, float Value) {
  try {
    ToTenths16(Value, What);
  } catch (const ERangeError &e) {
    return e.what();
  }
  return {};
}

} // namespace

bool ValidFault(const std::string &Fault) {
  static const char *const kPlain[] = {"silent", "unplugged", "sensor-failure", "error-answers",
                                       "oversized", "permission-denied"};
  for (const char *f : kPlain)
    if (Fault == f)
      return true;
  for (const char *prefix : {"drop=", "corrupt="}) {
    const std::string p = prefix;
    float share = 0;
    if (Fault.rfind(p, 0) == 0 && ParseFloat(Fault.substr(p.size()), share) && share >= 0 &&
        share <= 1)
      return true;
  }
  return false;
}

std::string ZolctlUsage() {
  std::string text =
      "usage: zolctl [--sim[=N]] [--sim-memory FILE] [--device K] [--password PW] [--trace]\n"
      "              [--show-secrets] [--json] [--timeout MS] COMMAND [ARGS]\n"
      "\n"
      "Sets up and checks RW8 temperature transmitters from the command line.\n"
      "\n"
      "Options:\n"
      "  --sim[=N]          use N simulated instruments (default 1) instead of real ones\n"
      "  --sim-memory FILE  the simulated instruments keep their settings in FILE between runs\n"
      "  --device K         the instrument to use, 0 for the first (default 0); see 'list'\n"
      "  --password PW      unlock a write-locked instrument before the command\n"
      "  --trace            write every frame to standard error: '-> ' 8 command bytes,\n"
      "                     '<- ' 12 answer bytes (password bytes are masked)\n"
      "  --show-secrets     with --trace, show the password bytes too\n"
      "  --json             print one JSON object on standard output\n"
      "  --timeout MS       how long to wait for each answer chain (default 2000)\n"
      "  --sim-fault F      (testing) the simulated instruments start with fault F: silent,\n"
      "                     unplugged, sensor-failure, error-answers, oversized,\n"
      "                     permission-denied, drop=SHARE, corrupt=SHARE (SHARE 0 to 1)\n"
      "\n"
      "Commands:\n";
  for (const CommandInfo &c : kCommands)
    text += std::string("  ") + c.Usage + "\n";
  text += "\n'zolctl COMMAND --help' describes a command.\n"
          "Exit status: 0 done; 1 no instrument, or no answer in time; 2 usage or a value the\n"
          "instrument cannot take; 3 parameter file refused or not written; 4 refused by the\n"
          "instrument (write-locked, wrong password).\n";
  return text;
}

TZolctlParse ParseZolctlArgs(const std::vector<std::string> &Args) {
  TZolctlParse result;
  TZolctlOptions options;
  std::size_t i = 0;
  auto error = [&](std::string message) {
    result.Error = std::move(message);
    return result;
  };
  auto next = [&](const std::string &option, std::string &value) {
    if (i + 1 >= Args.size())
      return false;
    value = Args[++i];
    (void)option;
    return true;
  };

  // Global options, up to the command.
  for (; i < Args.size(); ++i) {
    const std::string &a = Args[i];
    if (a.empty() || a[0] != '-')
      break;
    std::string value;
    long number = 0;
    if (a == "--help" || a == "-h") {
      result.Help = ZolctlUsage();
      return result;
    } else if (a == "--sim") {
      options.Sim = true;
    } else if (a.rfind("--sim=", 0) == 0) {
      if (!ParseInt(a.substr(6), 1, 16, number))
        return error("--sim takes a number of instruments from 1 to 16");
      options.Sim = true;
      options.SimCount = static_cast<int>(number);
    } else if (a == "--sim-memory") {
      if (!next(a, value) || value.empty())
        return error("--sim-memory takes a file name");
      options.SimMemory = value;
    } else if (a == "--sim-fault") {
      if (!next(a, value) || !ValidFault(value))
        return error("--sim-fault takes silent, unplugged, sensor-failure, error-answers, "
                     "oversized, permission-denied, drop=SHARE or corrupt=SHARE (SHARE 0 to 1)");
      options.SimFaults.push_back(value);
    } else if (a == "--device") {
      if (!next(a, value) || !ParseInt(value, 0, 255, number))
        return error("--device takes an instrument index from 0 (see 'zolctl list')");
      options.Device = static_cast<int>(number);
    } else if (a == "--password") {
      if (!next(a, value))
        return error("--password takes the password");
      const std::string pw = Upper(value);
      if (std::string problem = CheckText("The password", pw, kPasswordLength); !problem.empty())
        return error(problem);
      options.Password = pw;
    } else if (a == "--trace") {
      options.Trace = true;
    } else if (a == "--show-secrets") {
      options.ShowSecrets = true;
    } else if (a == "--json") {
      options.Json = true;
    } else if (a == "--timeout") {
      if (!next(a, value) || !ParseInt(value, 1, 3600000, number))
        return error("--timeout takes milliseconds from 1 to 3600000");
      options.TimeoutMs = static_cast<int>(number);
    } else {
      return error("unknown option " + a);
    }
  }
  if ((!options.SimMemory.empty() || !options.SimFaults.empty()) && !options.Sim)
    return error("--sim-memory and --sim-fault go with --sim");
  if (i >= Args.size())
    return error("no command given");

  const CommandInfo *info = FindCommand(Args[i]);
  if (!info)
    return error("unknown command " + Args[i]);
  options.Command = info->Command;
  // Switches without a value may also follow the command.
  std::vector<std::string> rest;
  for (auto a = Args.begin() + static_cast<std::ptrdiff_t>(i) + 1; a != Args.end(); ++a) {
    if (*a == "--json")
      options.Json = true;
    else if (*a == "--trace")
      options.Trace = true;
    else if (*a == "--show-secrets")
      options.ShowSecrets = true;
    else
      rest.push_back(*a);
  }
  if (std::find(rest.begin(), rest.end(), "--help") != rest.end() ||
      std::find(rest.begin(), rest.end(), "-h") != rest.end()) {
    result.Help = std::string("usage: zolctl [OPTIONS] ") + info->Usage + "\n\n" + info->Help + "\n";
    return result;
  }

  auto exactly = [&](std::size_t n) { return rest.size() == n; };
  const std::string usage = std::string("usage: zolctl ") + info->Usage;
  switch (options.Command) {
  case TZolctlCommand::WriteTag: {
    if (!exactly(1))
      return error(usage);
    options.Text = Upper(rest[0]);
    if (std::string problem = CheckText("The tag", options.Text, kDeviceTagLength); !problem.empty())
      return error(problem);
    break;
  }
  case TZolctlCommand::WriteFilter:
    if (!exactly(1))
      return error(usage);
    if (!ParseFloat(rest[0], options.Value) || options.Value < 0)
      return error("The filter must be a number of seconds, 0 or more, such as 2.5: " + rest[0]);
    break;
  case TZolctlCommand::WriteAlarm: {
    if (rest.empty())
      return error(usage);
    long number = 0;
    if (!ParseInt(rest[0], 1, 2, number))
      return error("The alarm number is 1 or 2: " + rest[0]);
    options.Alarm.Number = static_cast<int>(number);
    for (std::size_t k = 1; k < rest.size(); ++k) {
      const std::string &a = rest[k];
      auto value = [&](const char *name, std::optional<float> &field) -> std::string {
        float v = 0;
        if (k + 1 >= rest.size() || !ParseFloat(rest[k + 1], v))
          return std::string(name) + " takes a number (a point as decimal separator)";
        field = v;
        ++k;
        return {};
      };
      std::string problem;
      if (a == "--setpoint")
        problem = value("--setpoint", options.Alarm.SetPoint);
      else if (a == "--hysteresis")
        problem = value("--hysteresis", options.Alarm.Hysteresis);
      else if (a == "--delay")
        problem = value("--delay", options.Alarm.Delay);
      else if (a == "--nc" || a == "--no")
        options.Alarm.ContactNC = a == "--nc";
      else if (a == "--fail-closed" || a == "--fail-open")
        options.Alarm.FailClosed = a == "--fail-closed";
      else if (a == "--led-below" || a == "--led-above")
        options.Alarm.LedBelow = a == "--led-below";
      else
        problem = "unknown write-alarm option " + a + "\n" + usage;
      if (!problem.empty())
        return error(problem);
    }
    if (options.Alarm.SetPoint)
      if (std::string p = CheckTenths("Set point", *options.Alarm.SetPoint); !p.empty())
        return error(p);
    if (options.Alarm.Hysteresis)
      if (std::string p = CheckTenths("Hysteresis", *options.Alarm.Hysteresis); !p.empty())
        return error(p);
    if (options.Alarm.Delay && (*options.Alarm.Delay < 0 || *options.Alarm.Delay > 25.5f))
      return error("The delay must lie between 0 and 25.5 s: " + rest.back());
    break;
  }
  case TZolctlCommand::Save:
  case TZolctlCommand::Load:
  case TZolctlCommand::Show:
    if (!exactly(1) || rest[0].empty())
      return error(usage);
    options.Text = rest[0];
    break;
  case TZolctlCommand::Unlock:
  case TZolctlCommand::ChangePassword: {
    if (!exactly(1))
      return error(usage);
    options.Text = Upper(rest[0]);
    if (std::string problem = CheckText("The password", options.Text, kPasswordLength);
        !problem.empty())
      return error(problem);
    if (options.Command == TZolctlCommand::ChangePassword && options.Text.size() < 4)
      return error("A new password has 4 to 8 characters");
    break;
  }
  case TZolctlCommand::Monitor:
    if (rest.empty())
      break;
    if (rest.size() == 2 && rest[0] == "--count") {
      long number = 0;
      if (!ParseInt(rest[1], 1, 1000000000L, number))
        return error("--count takes a number of lines, 1 or more");
      options.Count = number;
      break;
    }
    return error(usage);
  default:
    if (!exactly(0))
      return error(usage);
    break;
  }
  result.Options = std::move(options);
  return result;
}

} // namespace zol
