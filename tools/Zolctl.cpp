#include "tools/Zolctl.h"

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "link/SystemHidPlatform.h"
#include "protocol/Utils.h"
#include "sim/SimPlatform.h"
#include "tools/ZolctlCommands.h"
#include "tools/ZolctlSystem.h"

namespace zol {

namespace {

/// A fault of --sim-fault: the instrument it applies to (-1: all) and its name.
struct TFault {
  int Instrument = -1;
  std::string Name;
};

TFault SplitFault(const std::string &Text) {
  const auto colon = Text.find(':');
  if (colon == std::string::npos)
    return {-1, Text};
  return {std::atoi(Text.substr(0, colon).c_str()), Text.substr(colon + 1)};
}

/// Puts a simulated instrument in one of the fault states --sim-fault names (already checked).
void ApplyFault(VirtualRW8 &Instrument, const std::string &Fault) {
  if (Fault == "silent")
    Instrument.SetSilent(true);
  else if (Fault == "unplugged")
    Instrument.SetPresent(false);
  else if (Fault == "sensor-failure")
    Instrument.SetSensorFailure(true);
  else if (Fault == "error-answers")
    Instrument.SetErrorAnswers(true);
  else if (Fault == "oversized")
    Instrument.SetOversizedReports(true);
  else if (Fault == "permission-denied")
    Instrument.SetPermissionDenied(true);
  else if (Fault.rfind("drop=", 0) == 0)
    Instrument.SetDropShare(std::stod(Fault.substr(5)), 7);
  else if (Fault.rfind("corrupt=", 0) == 0)
    Instrument.SetCorruptShare(std::stod(Fault.substr(8)), 7);
  else if (Fault.rfind("slow=", 0) == 0)
    Instrument.SetReportPeriod(std::atoi(Fault.substr(5).c_str()));
}

/// The instruments: simulated ones with their faults, or the machine's.
std::unique_ptr<HidPlatform> MakePlatform(const TZolctlOptions &Options) {
  if (!Options.Sim)
    return MakeSystemHidPlatform();
  TVirtualRW8Options base;
  base.MemoryFile = Options.SimMemory;
  auto sim = std::make_unique<SimPlatform>(Options.SimCount, base);
  for (const std::string &text : Options.SimFaults) {
    const TFault fault = SplitFault(text);
    for (int i = 0; i < sim->InstrumentCount(); ++i)
      if (auto instrument = sim->Instrument(i);
          instrument && (fault.Instrument < 0 || fault.Instrument == i))
        ApplyFault(*instrument, fault.Name);
  }
  return sim;
}

/// Why the simulated instruments do not keep their memory file (refused at the start, or a save
/// that failed); empty when they do, when there is none, or on the machine's instruments.
std::string SimMemoryProblem(HidPlatform &Platform) {
  auto *sim = dynamic_cast<SimPlatform *>(&Platform);
  if (!sim)
    return {};
  for (int i = 0; i < sim->InstrumentCount(); ++i)
    if (auto instrument = sim->Instrument(i))
      if (std::string problem = instrument->MemoryProblem(); !problem.empty())
        return "--sim-memory: " + problem;
  return {};
}

/// The simulator's timed fault blip=MS on a thread of its own: MS ms after the instrument is
/// opened it is unplugged, and MS ms later plugged in again. The thread ends with this object.
class TSimScript {
public:
  ~TSimScript() {
    {
      std::lock_guard lock(Mutex);
      Stop = true;
    }
    Changed.notify_all();
    if (Thread.joinable())
      Thread.join();
  }
  void Blip(std::shared_ptr<VirtualRW8> Instrument, int Ms) {
    if (Thread.joinable())
      return;
    Thread = std::thread([this, Instrument, Ms] {
      std::unique_lock lock(Mutex);
      for (bool present : {false, true}) {
        if (Changed.wait_for(lock, std::chrono::milliseconds(Ms), [this] { return Stop; }))
          return;
        Instrument->SetPresent(present);
      }
    });
  }

private:
  std::mutex Mutex; //!< Protects Stop.
  std::condition_variable Changed;
  bool Stop = false;
  std::thread Thread;
};

/// The simulator's faults that act once the instrument is open: unplug-on-open, blip=MS.
std::function<void(int)> AfterOpen(const TZolctlOptions &Options, HidPlatform &Platform,
                                   TSimScript &Script) {
  if (!Options.Sim)
    return {};
  return [&Options, &Platform, &Script](int Index) {
    auto &sim = static_cast<SimPlatform &>(Platform);
    for (const std::string &text : Options.SimFaults) {
      const TFault fault = SplitFault(text);
      auto instrument = sim.Instrument(Index);
      if (!instrument || (fault.Instrument >= 0 && fault.Instrument != Index))
        continue;
      if (fault.Name == "unplug-on-open")
        instrument->SetPresent(false);
      else if (fault.Name.rfind("blip=", 0) == 0)
        Script.Blip(instrument, std::atoi(fault.Name.substr(5).c_str()));
    }
  };
}

/// The outcome of a command on one instrument.
struct TOutcome {
  TResult Result;
  int Status = ZolctlExit::Done;
  std::string Message;
  bool Interrupted = false;
};

TOutcome RunOne(const TZolctlOptions &Options, HidPlatform &Platform,
                const std::optional<std::string> &Password, std::ostream &Out, std::ostream &Err) {
  TOutcome o;
  TSimScript script; // outlives the session, whose worker it acts on
  std::unique_ptr<TSession> session;
  try {
    session = std::make_unique<TSession>(Options, Platform, Out, Err);
    session->Password = Password;
    session->AfterOpen = AfterOpen(Options, Platform, script);
    o.Result = CommandFunction(Options.Command)(*session);
    o.Status = o.Result.Status;
    o.Message = o.Result.Message;
  } catch (const TExit &e) {
    o.Status = e.Code;
    o.Message = e.Message;
  } catch (const EInterrupted &e) {
    o.Interrupted = true;
    if (Options.Command != TZolctlCommand::Monitor) {
      o.Status = e.Status;
      o.Message =
          "interrupted; " + (session ? session->SentNote() : std::string("nothing was sent"));
    }
  } catch (const EOutputFailed &) {
    o.Status = ZolctlExit::OutputFailed;
    o.Message = "standard output could not be written";
  } catch (const ERangeError &e) {
    o.Status = ZolctlExit::Usage;
    o.Message = std::string(e.what()) + "; nothing was sent";
  } catch (const std::exception &e) {
    o.Status = ZolctlExit::NoInstrument;
    o.Message = e.what();
  }
  return o;
}

void Say(std::ostream &Err, const std::string &Message) {
  if (!Message.empty())
    Err << "zolctl: " << Message << '\n' << std::flush;
}

int Print(const TZolctlOptions &Options, const TResult &Result, std::ostream &Out,
          std::ostream &Err) {
  try {
    Emit(Out, Options.Json ? JsonDump(Result.Json) : Result.Text);
  } catch (const EOutputFailed &) {
    Say(Err, "standard output could not be written");
    return ZolctlExit::OutputFailed;
  }
  return ZolctlExit::Done;
}

int RunBatch(const TZolctlOptions &Options, HidPlatform &Platform,
             const std::optional<std::string> &Password, std::ostream &Out, std::ostream &Err) {
  std::vector<std::string> serials;
  {
    TSession lister(Options, Platform, Out, Err);
    for (const std::string &s : lister.Serials())
      if (!Options.Serial || s == *Options.Serial)
        serials.push_back(s);
  }
  if (serials.empty()) {
    Say(Err, Options.Serial ? "No instrument with serial number " + *Options.Serial
                            : std::string("No instrument found (see 'zolctl list')"));
    return ZolctlExit::NoInstrument;
  }
  int worst = ZolctlExit::Done;
  TJson all = TJson::object();
  std::string text;
  const std::size_t n = serials.size();
  for (std::size_t i = 0; i < n; ++i) {
    TZolctlOptions one = Options;
    one.Serial = serials[i];
    TOutcome o = RunOne(one, Platform, Password, Out, Err);
    const std::string key = JsonText(serials[i]);
    TJson entry = o.Result.Json;
    entry["status"] = o.Status;
    if (!o.Message.empty())
      entry["error"] = JsonText(o.Message);
    all[key] = std::move(entry);
    text += "== " + Printable(serials[i]) + " ==\n" + o.Result.Text;
    Err << "zolctl: [" << i + 1 << "/" << n << "] " << Printable(serials[i]) << ": "
        << (o.Status == 0 ? std::string("done")
                          : "status " + std::to_string(o.Status) + ": " + o.Message)
        << '\n'
        << std::flush;
    worst = std::max(worst, o.Status);
    if (o.Interrupted) {
      if (i + 1 < n)
        Say(Err, "the batch was interrupted: " + std::to_string(n - i - 1) +
                     " instrument(s) not started");
      break;
    }
  }
  TResult merged;
  merged.Json = std::move(all);
  merged.Text = std::move(text);
  return std::max(worst, Print(Options, merged, Out, Err));
}

/// The first line of a file or of standard input ("-").
std::optional<std::string> ReadPasswordFile(const std::string &Path, std::string &Problem) {
  std::string line;
  if (Path == "-") {
    if (!ReadSecretLine(line, "Password: ")) {
      Problem = "--password-file -: no password on standard input";
      return std::nullopt;
    }
    return line;
  }
  std::ifstream in(Path, std::ios::binary);
  if (!in || !std::getline(in, line)) {
    Problem = "--password-file " + Path + ": cannot be read";
    return std::nullopt;
  }
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  return line;
}

} // namespace

int RunZolctl(const TZolctlOptions &Options, std::ostream &Out, std::ostream &Err) {
  if (Options.Command == TZolctlCommand::Show) {
    try {
      return Print(Options, ShowFile(Options.Text), Out, Err);
    } catch (const TExit &e) {
      Say(Err, e.Message);
      return e.Code;
    }
  }
  // The password for a locked instrument, and those the commands take from standard input.
  TZolctlOptions options = Options;
  std::optional<std::string> password = options.Password;
  std::string problem;
  if (!password && options.PasswordFile) {
    password = ReadPasswordFile(*options.PasswordFile, problem);
  } else if (!password) {
    if (const char *env = std::getenv("ZOLCTL_PASSWORD"); env && *env)
      password = std::string(env);
  }
  const bool unlock = options.Command == TZolctlCommand::Unlock;
  const bool change = options.Command == TZolctlCommand::ChangePassword;
  if (problem.empty() && (unlock || change) && !options.TextGiven) {
    if (unlock && password) {
      options.Text = *password;
    } else if (options.PasswordFile && *options.PasswordFile == "-") {
      problem = "standard input gives the password of --password-file -: give NEW as an argument";
    } else if (!ReadSecretLine(options.Text, change ? "New password: " : "Password: ")) {
      problem = "no password on standard input";
    }
  }
  if (const int status = InterruptStatus()) {
    Say(Err, "interrupted; nothing was sent");
    return status;
  }
  if (problem.empty() && password)
    problem = CheckPassword("the password", *password, false);
  if (problem.empty() && (unlock || change) && !options.TextGiven)
    problem = CheckPassword(change ? "NEW" : "PASSWORD", options.Text, change);
  if (!problem.empty()) {
    Say(Err, problem);
    return ZolctlExit::Usage;
  }
  if (unlock)
    password = options.Text;

  // Refuse a bad file before touching any instrument.
  if (options.Command == TZolctlCommand::Load) {
    try {
      ReadFileOrExit(options.Text, true);
    } catch (const TExit &e) {
      Say(Err, e.Message);
      return e.Code;
    }
  }
  std::unique_ptr<HidPlatform> platform;
  try {
    platform = MakePlatform(options);
  } catch (const std::exception &e) {
    Say(Err, e.what());
    return ZolctlExit::NoInstrument;
  }
  if (const std::string problem = SimMemoryProblem(*platform); !problem.empty()) {
    Say(Err, problem + ": nothing was sent");
    return ZolctlExit::FileRefused;
  }
  int status = ZolctlExit::Done;
  if (options.All) {
    status = RunBatch(options, *platform, password, Out, Err);
  } else {
    TOutcome o = RunOne(options, *platform, password, Out, Err);
    status = o.Status;
    // What the command learnt is printed even when it ends in a refusal (load's differences).
    if (!o.Interrupted && (o.Status == ZolctlExit::Done || !o.Result.Text.empty()))
      status = std::max(status, Print(options, o.Result, Out, Err));
    Say(Err, o.Message);
  }
  // The instrument took the command, but what it keeps did not reach its file.
  if (const std::string problem = SimMemoryProblem(*platform); !problem.empty()) {
    Say(Err, problem);
    status = std::max(status, ZolctlExit::FileRefused);
  }
  return status;
}

int ZolctlMain(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  const TZolctlParse parse = ParseZolctlArgs(Args);
  if (!parse.Help.empty()) {
    Out << parse.Help << std::flush;
    return Out ? ZolctlExit::Done : ZolctlExit::OutputFailed;
  }
  if (!parse.Error.empty() || !parse.Options) {
    Err << "zolctl: " << parse.Error << "\n(zolctl --help lists the commands)\n";
    return ZolctlExit::Usage;
  }
  return RunZolctl(*parse.Options, Out, Err);
}

void ZolctlInterrupt(int Status) {
  InterruptWaits(Status);
}

} // namespace zol
