#include "tools/ZolctlArgs.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <string_view>
#include <tuple>

#include "protocol/Utils.h"
#include "protocol/ZOL.h"
#include "tools/ZolctlWords.h"

#ifndef ZOLCTL_VERSION
#define ZOLCTL_VERSION "unknown"
#endif

namespace zol {

namespace {

/// The highest instrument index a "K:" of --sim-fault names (--sim takes up to 16).
constexpr int kMaxSimInstrument = 15;

struct CommandInfo {
  const char *Name;
  TZolctlCommand Command;
  const char *Help;
};

const CommandInfo kCommands[] = {
    {"list", TZolctlCommand::List,
     "Lists the matching instruments: index, path, manufacturer, product, serial number.\n"
     "Instruments that are present but cannot be opened are named with the reason and the fix."},
    {"state", TZolctlCommand::State,
     "Prints the measurement, relays, LEDs, write lock, option flags, raw value and Rt."},
    {"read", TZolctlCommand::Read, "Reads tag, filter and both alarms."},
    {"write-tag", TZolctlCommand::WriteTag,
     "Sends a tag of up to 16 characters (letters are sent in upper case; the instrument keeps\n"
     "space, digits, upper-case letters and punctuation), then reads it back."},
    {"write-filter", TZolctlCommand::WriteFilter,
     "Sends the damping filter in seconds (a point as decimal separator), then reads it back."},
    {"write-alarm", TZolctlCommand::WriteAlarm,
     "Changes the settings of alarm 1 or 2 and reads them back. Fields not given keep the\n"
     "instrument's values (read first). Set point and hysteresis: -3276.8 to 3276.7 C;\n"
     "delay: 0 to 25.5 s in tenths."},
    {"save", TZolctlCommand::Save,
     "Reads all settings, then writes them to a parameter file (88 bytes, extension ZOL).\n"
     "With --all, FILE names one file per instrument: {serial} in it stands for the serial\n"
     "number (characters other than letters, digits, - and _ as %XX), {index} for the\n"
     "instrument's number in 'zolctl list'."},
    {"load", TZolctlCommand::Load,
     "Reads a parameter file, sends it with the write-all chain, then reads the settings back\n"
     "and names every value the instrument holds that differs from the file."},
    {"show", TZolctlCommand::Show, "Prints a parameter file; needs no instrument."},
    {"unlock", TZolctlCommand::Unlock,
     "Unlocks a write-locked instrument (exit status 4 when the password is wrong). Without\n"
     "PASSWORD: from --password-file, ZOLCTL_PASSWORD or standard input (no echo)."},
    {"change-password", TZolctlCommand::ChangePassword,
     "Changes the password: 4 to 8 characters, sent in upper case. Without NEW it is read from\n"
     "standard input: on a terminal without echo, twice to confirm it; from a pipe, one line\n"
     "(after the current password's with --password-file -)."},
    {"lost-password", TZolctlCommand::LostPassword,
     "Reads the crypted password; give it and the serial number to the maker."},
    {"history", TZolctlCommand::History,
     "Reads the instrument's 8 write-operation records, slot 0 the newest."},
    {"monitor", TZolctlCommand::Monitor,
     "Prints one line per state answer (or per --interval), until --count lines, Ctrl-C or\n"
     "SIGTERM (status 0). An unplugged instrument is waited for, unless --exit-on-disconnect."},
    {"ping", TZolctlCommand::Ping, "Sends a ping and checks the echo."},
    {"info", TZolctlCommand::Info,
     "Reads the information block and tells whether the USB interface firmware is programmed."},
    {"adjust-zero", TZolctlCommand::AdjustZero, "Zero adjustment (maker's use)."},
    {"adjust-full-scale", TZolctlCommand::AdjustFullScale, "Full-scale adjustment (maker's use)."},
    {"reset-all", TZolctlCommand::ResetAll,
     "Returns the settings to the factory values (maker's use)."},
    {"journal", TZolctlCommand::Journal,
     "Lists the set-up journal's records, oldest first: who set which instrument to what, when,\n"
     "with which program, and whether it held (needs no instrument). --verify checks the\n"
     "database instead."},
    {"sheet", TZolctlCommand::Sheet,
     "Prints the instrument's configuration sheet: its identity, every setting as read back,\n"
     "the date, and the journal's last 10 records of its serial number."},
};

bool ParseFloat(const std::string &Text, float &Value) {
  const char *First = Text.data();
  const char *Last = First + Text.size();
  if (First != Last && *First == '+')
    ++First;
  const auto [end, ec] = std::from_chars(First, Last, Value);
  return ec == std::errc() && end == Last && std::isfinite(Value);
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
    return What + " holds a character the instrument cannot keep (use space, digits, A-Z and "
                  "punctuation)";
  return {};
}

/// A CLI11 check for an integer in [Low, High]; the message names the option (CLI11 adds it).
CLI::Validator IntIn(long Low, long High, std::string What) {
  return CLI::Validator(
      [=](std::string &Text) -> std::string {
        long v = 0;
        return ParseInt(Text, Low, High, v) ? std::string() : What + ", not " + Text;
      },
      "", "");
}

CLI::Validator Number() {
  return CLI::Validator(
      [](std::string &Text) -> std::string {
        float v = 0;
        return ParseFloat(Text, v) ? std::string()
                                   : "takes a number (a point as decimal separator), not " + Text;
      },
      "", "");
}

/// Strings as the command line gave them, converted and checked after CLI11 has parsed.
struct TRaw {
  std::string SimCount;
  std::string Device;
  std::string Timeout;
  std::string Wait;
  std::string Filter;
  std::string AlarmNumber;
  std::string SetPoint, Hysteresis, Delay;
  std::string Count, Interval;
  std::string JournalSerial, Since, Until;
  std::vector<std::string> SimFaults;
  bool Nc = false, No = false, FailClosed = false, FailOpen = false, LedBelow = false,
       LedAbove = false;
};

float ToFloat(const std::string &Text) {
  float v = 0;
  ParseFloat(Text, v);
  return v;
}

long ToLong(const std::string &Text) {
  long v = 0;
  std::from_chars(Text.data(), Text.data() + Text.size(), v);
  return v;
}

/// The command line's grammar, bound to Options and Raw.
std::unique_ptr<CLI::App> MakeApp(TZolctlOptions &O, TRaw &R) {
  auto App = std::make_unique<CLI::App>("Sets up and checks RW8 temperature transmitters from the "
                                        "command line.",
                                        "zolctl");
  App->get_formatter()->label("Usage", "usage");
  App->get_formatter()->column_width(34);
  App->set_version_flag("--version", std::string("zolctl ") + ZOLCTL_VERSION);
  App->set_help_all_flag("--help-all", "Print this help message with every command's options");
  // A word that starts with a slash is a path on every system, never a Windows-style option.
  App->allow_windows_style_options(false);
  App->fallthrough();
  App->require_subcommand(1, 1);
  App->option_defaults()->always_capture_default(false);

  App->add_option("--sim", R.SimCount,
                  "use N simulated instruments (default 1) instead of real ones")
      ->expected(0, 1)
      ->type_name("[N]")
      ->check(IntIn(1, 16, "a number of instruments from 1 to 16"));
  App->add_option("--sim-memory", O.SimMemory,
                  "the simulated instruments keep their settings in FILE between runs (not a\n"
                  "parameter file); one zolctl at a time uses it (FILE.lock), another waits up\n"
                  "to 10 s")
      ->type_name("FILE");
  App->add_option("--sim-fault", R.SimFaults,
                  "(testing) the simulated instruments start with fault F:\n" +
                      SimFaultHelp(TSimFaultUser::Zolctl, 76) + ";\nK:F for instrument K alone")
      ->type_name("F")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(CLI::Validator(
          [](std::string &Text) -> std::string {
            return ParseSimFault(Text, TSimFaultUser::Zolctl, kMaxSimInstrument).Error;
          },
          "", ""));
  App->add_option("--device", R.Device,
                  "the instrument to use, 0 for the first (default 0); see 'list'")
      ->type_name("K")
      ->check(IntIn(0, 255, "takes an instrument index from 0 (see 'zolctl list')"));
  App->add_option("--serial", O.Serial, "the instrument with this serial number (see 'list')")
      ->type_name("TEXT");
  App->add_flag("--all", O.All,
                "run the command on every matching instrument in turn (with --serial: those\n"
                "whose serial matches), each once, even two with one serial number; one that\n"
                "cannot be opened counts as failed (1); the exit status is the worst of theirs");
  App->add_option("--password", O.Password,
                  "unlock a write-locked instrument before the command. A password on the\n"
                  "command line is visible to other users of the machine: prefer\n"
                  "--password-file or ZOLCTL_PASSWORD")
      ->type_name("PW");
  App->add_option("--password-file", O.PasswordFile,
                  "read that password from the first line of FILE ('-': standard input)")
      ->type_name("FILE");
  App->add_flag("--trace", O.Trace,
                "write every frame to standard error: '-> ' 8 command bytes, '<- ' 12 answer\n"
                "bytes (password bytes are masked)");
  App->add_flag("--show-secrets", O.ShowSecrets, "with --trace, show the password bytes too");
  App->add_flag("--json", O.Json, "print JSON on standard output");
  App->add_option("--timeout", R.Timeout, "how long to wait for each answer chain (default 2000)")
      ->type_name("MS")
      ->check(IntIn(1, 3600000, "takes milliseconds from 1 to 3600000"));

  App->add_option("--wait", R.Wait,
                  "wait up to SECONDS for the instrument to be plugged in (default 0: it must\n"
                  "be there); each one plugged in is looked at as the system tells of it")
      ->type_name("SECONDS")
      ->check(IntIn(0, 3600, "takes seconds from 0 to 3600"));
  App->add_flag("--verbose", O.Verbose, "say on standard error how zolctl waits");
  App->add_flag("--no-journal", O.NoJournal,
                "record nothing in the set-up journal (the writing commands record each\n"
                "instrument they work: see 'journal')");

  for (const CommandInfo &c : kCommands) {
    CLI::App *Sub = App->add_subcommand(c.Name, c.Help);
    Sub->parse_complete_callback([&O, c] { O.Command = c.Command; });
    switch (c.Command) {
    case TZolctlCommand::WriteTag:
      Sub->add_option("TEXT", O.Text, "the tag")->required()->type_name("");
      break;
    case TZolctlCommand::WriteFilter:
      Sub->add_option("SECONDS", R.Filter, "the filter, 0 or more")
          ->required()
          ->type_name("")
          ->check(Number());
      break;
    case TZolctlCommand::WriteAlarm: {
      Sub->add_option("N", R.AlarmNumber, "the alarm: 1 or 2")
          ->required()
          ->type_name("")
          ->check(IntIn(1, 2, "is 1 or 2"));
      Sub->add_option("--setpoint", R.SetPoint, "set point")->type_name("C")->check(Number());
      Sub->add_option("--hysteresis", R.Hysteresis, "hysteresis")->type_name("C")->check(Number());
      Sub->add_option("--delay", R.Delay, "delay, 0 to 25.5")->type_name("S")->check(Number());
      auto *Nc = Sub->add_flag("--nc", R.Nc, "contact normally closed");
      Sub->add_flag("--no", R.No, "contact normally open")->excludes(Nc);
      auto *Fc = Sub->add_flag("--fail-closed", R.FailClosed, "contact closed on sensor failure");
      Sub->add_flag("--fail-open", R.FailOpen, "contact open on sensor failure")->excludes(Fc);
      auto *Lb = Sub->add_flag("--led-below", R.LedBelow, "LED lit below the set point");
      Sub->add_flag("--led-above", R.LedAbove, "LED lit above the set point")->excludes(Lb);
      break;
    }
    case TZolctlCommand::Save:
    case TZolctlCommand::Load:
    case TZolctlCommand::Show:
      Sub->add_option("FILE", O.Text, "the parameter file")->required()->type_name("");
      break;
    case TZolctlCommand::Unlock:
      Sub->add_option("PASSWORD", O.Text, "the password (visible to other users: prefer stdin)")
          ->type_name("");
      break;
    case TZolctlCommand::ChangePassword:
      Sub->add_option("NEW", O.Text, "the new password (visible to other users: prefer stdin)")
          ->type_name("");
      break;
    case TZolctlCommand::Monitor:
      Sub->add_option("--count", R.Count, "stop after N lines")
          ->type_name("N")
          ->check(IntIn(1, 1000000000L, "takes a number of lines, 1 or more"));
      Sub->add_flag("--csv", O.Csv,
                    "comma-separated values: a header, then time (ISO 8601, local, ms), measure,\n"
                    "relays, LEDs, lock, raw value, Rt");
      Sub->add_option("--interval", R.Interval, "one line every MS milliseconds")
          ->type_name("MS")
          ->check(IntIn(1, 3600000, "takes milliseconds from 1 to 3600000"));
      Sub->add_flag("--exit-on-disconnect", O.ExitOnDisconnect,
                    "end with status 1 when the instrument is unplugged");
      break;
    case TZolctlCommand::Journal:
      Sub->add_option("--serial", R.JournalSerial, "the records of this serial number")
          ->type_name("TEXT");
      Sub->add_option("--since", R.Since, "records from DATE on (2026-12-08 or 2026-12-08T14:30)")
          ->type_name("DATE");
      Sub->add_option("--until", R.Until, "records before DATE (a day alone is included)")
          ->type_name("DATE");
      Sub->add_flag("--csv", O.Csv, "comma-separated values: a header, then a line per record");
      Sub->add_flag("--verify", O.Verify,
                    "check the database (integrity and version): status 0 when sound");
      break;
    case TZolctlCommand::Sheet:
      Sub->add_flag("--html", O.Html, "an HTML page instead of text");
      break;
    default:
      break;
    }
  }
  App->footer("'zolctl COMMAND --help' describes a command.\n"
              "Exit status: 0 done; 1 no instrument, or no answer in time; 2 usage or a value the\n"
              "instrument cannot take; 3 parameter file (or --sim-memory file) refused or not\n"
              "written; 4 refused by the instrument (write-locked, wrong password) or a value it\n"
              "did not keep; 5 the output could not be written; 130, 143, 129 and 131 interrupted\n"
              "by SIGINT, SIGTERM, SIGHUP and SIGQUIT (monitor: 0).\n"
              "Environment: ZOLCTL_PASSWORD, the password for write-locked instruments;\n"
              "ZOLCFG_JOURNAL, the set-up journal's file.");
  return App;
}

/// Converts and checks what CLI11 left as text; an error names the option.
std::string Finish(TZolctlOptions &O, const TRaw &R, CLI::App &App) {
  if (App.count("--sim")) {
    O.Sim = true;
    if (!R.SimCount.empty())
      O.SimCount = static_cast<int>(ToLong(R.SimCount));
  }
  for (const std::string &Text : R.SimFaults) {
    TSimFaultParse Fault = ParseSimFault(Text, TSimFaultUser::Zolctl, kMaxSimInstrument);
    if (!Fault.Fault)
      return "--sim-fault: " + Fault.Error;
    O.SimFaults.push_back(std::move(*Fault.Fault));
  }
  if ((!O.SimMemory.empty() || !O.SimFaults.empty()) && !O.Sim)
    return "--sim-memory and --sim-fault go with --sim";
  if (App.count("--sim-memory") && O.SimMemory.empty())
    return "--sim-memory takes a file name";
  if (!R.Device.empty())
    O.Device = static_cast<int>(ToLong(R.Device));
  if (!R.Timeout.empty())
    O.TimeoutMs = static_cast<int>(ToLong(R.Timeout));
  if (!R.Wait.empty())
    O.WaitSeconds = static_cast<int>(ToLong(R.Wait));
  if (O.Password)
    if (std::string p = CheckPassword("--password", *O.Password, false); !p.empty())
      return p;
  if (O.PasswordFile && O.PasswordFile->empty())
    return "--password-file takes a file name, or - for standard input";
  if (App.count("--serial") && (!O.Serial || O.Serial->empty()))
    return "--serial takes a serial number";
  if (O.Serial && App.count("--device"))
    return "--serial and --device both choose the instrument: give one";
  if (O.All && App.count("--device"))
    return "--all and --device: --all runs on every instrument";
  if (O.All && (O.Command == TZolctlCommand::List || O.Command == TZolctlCommand::Show ||
                O.Command == TZolctlCommand::Monitor || O.Command == TZolctlCommand::Journal))
    return "--all goes with commands run on each instrument (not list, show, monitor or journal)";

  switch (O.Command) {
  case TZolctlCommand::WriteTag:
    O.Text = Upper(O.Text);
    if (std::string Problem = CheckText("TEXT: the tag", O.Text, kDeviceTagLength);
        !Problem.empty())
      return Problem;
    break;
  case TZolctlCommand::WriteFilter:
    O.Value = ToFloat(R.Filter);
    if (O.Value < 0 || !FilterSendable(O.Value))
      return "SECONDS: the filter must be a number of seconds, 0 or more, that the instrument "
             "takes, such as 2.5, not " +
             R.Filter;
    break;
  case TZolctlCommand::WriteAlarm: {
    TAlarmChange &a = O.Alarm;
    a.Number = static_cast<int>(ToLong(R.AlarmNumber));
    if (!R.SetPoint.empty())
      a.SetPoint = ToFloat(R.SetPoint);
    if (!R.Hysteresis.empty())
      a.Hysteresis = ToFloat(R.Hysteresis);
    if (!R.Delay.empty())
      a.Delay = ToFloat(R.Delay);
    if (R.Nc || R.No)
      a.ContactNC = R.Nc;
    if (R.FailClosed || R.FailOpen)
      a.FailClosed = R.FailClosed;
    if (R.LedBelow || R.LedAbove)
      a.LedBelow = R.LedBelow;
    try {
      if (a.SetPoint)
        ToTenths16(*a.SetPoint, TQuantity::SetPoint);
    } catch (const ERangeError &e) {
      return "--setpoint: " + Worded(e.Error());
    }
    try {
      if (a.Hysteresis)
        ToTenths16(*a.Hysteresis, TQuantity::Hysteresis);
    } catch (const ERangeError &e) {
      return "--hysteresis: " + Worded(e.Error());
    }
    if (a.Delay && (*a.Delay < 0 || *a.Delay > 25.5f))
      return "--delay: the delay must lie between 0 and 25.5 s, not " + R.Delay;
    break;
  }
  case TZolctlCommand::Save:
  case TZolctlCommand::Load:
  case TZolctlCommand::Show:
    if (O.Text.empty())
      return "FILE: a parameter file name is needed";
    // One file for every instrument would keep only the last one's settings.
    if (O.All && O.Command == TZolctlCommand::Save &&
        O.Text.find("{serial}") == std::string::npos && O.Text.find("{index}") == std::string::npos)
      return "FILE: with --all, save writes one file per instrument: put {serial} (or {index}) in "
             "its name, as in bench-{serial}.zol";
    break;
  case TZolctlCommand::Unlock:
  case TZolctlCommand::ChangePassword:
    O.TextGiven = App.get_subcommands().at(0)->count(
                      O.Command == TZolctlCommand::Unlock ? "PASSWORD" : "NEW") > 0;
    if (O.TextGiven)
      if (std::string p = CheckPassword(O.Command == TZolctlCommand::Unlock ? "PASSWORD" : "NEW",
                                        O.Text, O.Command == TZolctlCommand::ChangePassword);
          !p.empty())
        return p;
    break;
  case TZolctlCommand::Journal: {
    CLI::App &Sub = *App.get_subcommands().at(0);
    if (Sub.count("--serial") && R.JournalSerial.empty())
      return "journal --serial takes a serial number";
    if (Sub.count("--serial"))
      O.JournalSerial = R.JournalSerial;
    else if (O.Serial)
      O.JournalSerial = O.Serial;
    for (const auto &[option, text, until, field] :
         {std::tuple{"--since", &R.Since, false, &O.Since},
          std::tuple{"--until", &R.Until, true, &O.Until}}) {
      if (!Sub.count(option))
        continue;
      *field = ParseJournalDate(*text, until);
      if (!*field)
        return std::string(option) + ": a date as 2026-12-08 or 2026-12-08T14:30, not " + *text;
    }
    if (O.Csv && O.Json)
      return "journal: --csv or --json, not both";
    if (O.Verify && (O.Csv || Sub.count("--serial") || O.Since || O.Until))
      return "journal --verify checks the whole database: it takes no --serial, --since, "
             "--until or --csv";
    break;
  }
  case TZolctlCommand::Sheet:
    if (O.Html && O.Json)
      return "sheet: --html or --json, not both";
    if (O.Html && O.All)
      return "sheet --html makes one page for one instrument: choose it with --serial";
    break;
  case TZolctlCommand::Monitor:
    if (!R.Count.empty())
      O.Count = ToLong(R.Count);
    if (!R.Interval.empty())
      O.IntervalMs = static_cast<int>(ToLong(R.Interval));
    break;
  default:
    break;
  }
  return {};
}

} // namespace

std::optional<std::chrono::system_clock::time_point> ParseJournalDate(const std::string &Text,
                                                                      bool Until) {
  // dddd-dd-dd, then optionally Tdd:dd or Tdd:dd:dd.
  const std::string Shape = "dddd-dd-ddTdd:dd:dd";
  if (Text.size() != 10 && Text.size() != 16 && Text.size() != 19)
    return std::nullopt;
  for (std::size_t i = 0; i < Text.size(); ++i)
    if (Shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(Text[i])) : Text[i] != Shape[i])
      return std::nullopt;
  const auto Number = [&](std::size_t At, std::size_t Length) {
    return std::stoi(Text.substr(At, Length));
  };
  std::tm Local{};
  Local.tm_year = Number(0, 4) - 1900;
  Local.tm_mon = Number(5, 2) - 1;
  Local.tm_mday = Number(8, 2);
  const bool DayAlone = Text.size() == 10;
  if (!DayAlone) {
    Local.tm_hour = Number(11, 2);
    Local.tm_min = Number(14, 2);
    Local.tm_sec = Text.size() == 19 ? Number(17, 2) : 0;
  }
  // The system clock's moments reach 2262 at nanoseconds.
  if (Local.tm_year < 0 || Local.tm_year > 2200 - 1900 || Local.tm_mon > 11 || Local.tm_mday < 1 ||
      Local.tm_mday > 31 || Local.tm_hour > 23 || Local.tm_min > 59 || Local.tm_sec > 59)
    return std::nullopt;
  const int Day = Local.tm_mday, Month = Local.tm_mon;
  Local.tm_isdst = -1;
  std::time_t Moment = std::mktime(&Local);
  // A day that does not exist (February 30th) is carried into the next month.
  if (Moment == static_cast<std::time_t>(-1) || Local.tm_mday != Day || Local.tm_mon != Month)
    return std::nullopt;
  if (DayAlone && Until) {
    ++Local.tm_mday; // mktime carries it into the next month or year
    Local.tm_hour = 0;
    Local.tm_isdst = -1;
    Moment = std::mktime(&Local);
    if (Moment == static_cast<std::time_t>(-1))
      return std::nullopt;
  }
  return std::chrono::system_clock::from_time_t(Moment);
}

bool RecordedInJournal(TZolctlCommand Command) {
  switch (Command) {
  case TZolctlCommand::WriteTag:
  case TZolctlCommand::WriteFilter:
  case TZolctlCommand::WriteAlarm:
  case TZolctlCommand::Load:
  case TZolctlCommand::ChangePassword:
  case TZolctlCommand::AdjustZero:
  case TZolctlCommand::AdjustFullScale:
  case TZolctlCommand::ResetAll:
    return true;
  default:
    return false;
  }
}

bool FilterSendable(float Seconds) {
  // The instrument's answers carry no float whose exponent bits are all ones but the lowest.
  return std::isfinite(Seconds) && std::fabs(Seconds) < 0x1p127f;
}

std::string CheckPassword(const std::string &What, std::string &Password, bool New) {
  Password = Upper(Password);
  if (std::string Problem = CheckText(What + ": the password", Password, kPasswordLength);
      !Problem.empty())
    return Problem;
  if (New && Password.size() < 4)
    return What + ": a new password has 4 to 8 characters";
  return {};
}

std::string ZolctlUsage() {
  TZolctlOptions Options;
  TRaw Raw;
  return MakeApp(Options, Raw)->help();
}

TZolctlParse ParseZolctlArgs(const std::vector<std::string> &Args) {
  TZolctlParse Result;
  TZolctlOptions Options;
  TRaw Raw;
  try {
    std::unique_ptr<CLI::App> App = MakeApp(Options, Raw);
    std::vector<std::string> Reversed(Args.rbegin(), Args.rend());
    try {
      App->parse(Reversed);
    } catch (const CLI::CallForHelp &) {
      Result.Help = App->help();
      return Result;
    } catch (const CLI::CallForAllHelp &) {
      Result.Help = App->help("", CLI::AppFormatMode::All);
      return Result;
    } catch (const CLI::CallForVersion &e) {
      Result.Help = std::string(e.what()) + "\n";
      return Result;
    } catch (const CLI::ParseError &e) {
      // Without a command, the first word CLI11 could not place is a misspelt one.
      if (App->get_subcommands().empty()) {
        for (const std::string &Word : App->remaining())
          if (!Word.empty() && Word[0] != '-') {
            Result.Error = "unknown command " + Word;
            return Result;
          }
        if (dynamic_cast<const CLI::RequiredError *>(&e)) {
          Result.Error = "no command given";
          return Result;
        }
      }
      Result.Error = e.what();
      return Result;
    }
    if (std::string Problem = Finish(Options, Raw, *App); !Problem.empty()) {
      Result.Error = Problem;
      return Result;
    }
  } catch (const std::exception &e) {
    Result.Error = e.what();
    return Result;
  }
  Result.Options = std::move(Options);
  return Result;
}

} // namespace zol
