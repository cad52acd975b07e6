#include "tools/Zolctl.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "link/SystemHidPlatform.h"
#include "protocol/Utils.h"
#include "sim/SimPlatform.h"
#include "tools/ZolctlCommands.h"
#include "tools/ZolctlJournal.h"
#include "tools/ZolctlSystem.h"
#include "tools/ZolctlWords.h"

namespace zol {

namespace {

/// The instruments: simulated ones with their faults, or the machine's.
std::unique_ptr<HidPlatform> MakePlatform(const TZolctlOptions &Options) {
  if (!Options.Sim)
    return MakeSystemHidPlatform();
  TVirtualRW8Options base;
  base.MemoryFile = Options.SimMemory;
  // The serial numbers are the instruments' identity: given (serial=TEXT) before they start.
  auto sim = std::make_unique<SimPlatform>(0, base);
  for (int i = 0; i < Options.SimCount; ++i) {
    TVirtualRW8Options one = SimPlatform::OptionsFor(i, base);
    for (const TSimFault &fault : Options.SimFaults)
      if (fault.Time() == TSimFaultTime::Identity && fault.AppliesTo(i))
        one.SerialNumber = fault.Text;
    sim->AddInstrument(one);
  }
  for (const TSimFault &fault : Options.SimFaults)
    for (int i = 0; i < sim->InstrumentCount(); ++i)
      if (auto instrument = sim->Instrument(i); instrument && fault.AppliesTo(i))
        ApplySimFault(*instrument, fault);
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

/// The simulator's timed faults on a thread of their own: blip=MS, MS ms after the instrument is
/// opened it is unplugged, and MS ms later plugged in again; plug-in=MS, it is plugged in MS ms
/// after the start. The thread ends with this object.
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
    Plug(std::move(Instrument), Ms, {false, true});
  }
  /// plug-in=MS: MS ms from now the instrument is plugged in.
  void PlugIn(std::shared_ptr<VirtualRW8> Instrument, int Ms) {
    Plug(std::move(Instrument), Ms, {true});
  }

private:
  /// Every Ms ms, the next of Steps: plugged in (true) or unplugged.
  void Plug(std::shared_ptr<VirtualRW8> Instrument, int Ms, std::vector<bool> Steps) {
    if (Thread.joinable())
      return;
    Thread = std::thread([this, Instrument, Ms, Steps] {
      std::unique_lock lock(Mutex);
      for (bool present : Steps) {
        if (Changed.wait_for(lock, std::chrono::milliseconds(Ms), [this] { return Stop; }))
          return;
        Instrument->SetPresent(present);
      }
    });
  }

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
    for (const TSimFault &fault : Options.SimFaults) {
      auto instrument = sim.Instrument(Index);
      if (!instrument || !fault.AppliesTo(Index))
        continue;
      if (fault.Kind == TSimFaultKind::UnplugOnOpen)
        instrument->SetPresent(false);
      else if (fault.Kind == TSimFaultKind::Blip)
        Script.Blip(instrument, fault.Number);
    }
  };
}

/// How long a run waits for another zolctl to end its use of the same --sim-memory file.
constexpr std::chrono::milliseconds kMemoryLockWait{10000};

/// The outcome of a command on one instrument.
struct TOutcome {
  TResult Result;
  int Status = ZolctlExit::Done;
  std::string Message;
  bool Interrupted = false;
};

/// Where an instrument of a batch is: the Occurrence-th (from 0) with serial number Serial, as
/// 'zolctl list' numbers it at Index; or one the system lists but will not let us open (Path,
/// Reason).
struct TTarget {
  std::string Serial;
  int Occurrence = 0;
  int Index = 0;
  std::string Path, Reason;
};

/// One record in the journal for a writing command on an instrument it connected to: the
/// settings read again after it (unless it was interrupted or the instrument went), and the
/// verdict. A journal that cannot be written is said; the command's status stays.
void Journal(TSession &Session, const TZolctlOptions &Options, TOutcome &O, std::ostream &Err) {
  TWork work;
  work.Command = Options.Command;
  work.Identity = *Session.Identity;
  work.Before = Session.Before;
  if (!O.Interrupted && (O.Status == ZolctlExit::Done || O.Status == ZolctlExit::Refused)) {
    try {
      work.After = Session.ReadSettingsBack();
    } catch (const EInterrupted &e) {
      // The command had ended; the signal came during the read for the journal.
      O.Interrupted = true;
      O.Status = e.Status;
      O.Message = "interrupted; " + Session.SentNote();
    }
  }
  work.Status = O.Status;
  work.Interrupted = O.Interrupted;
  work.Differs = Session.Differs;
  work.Message = O.Message;
  if (Options.Command == TZolctlCommand::Load)
    work.ParameterFile = Options.Text;
  if (const std::string problem = RecordWork(work); !problem.empty())
    Err << "zolctl: the journal could not be written: " << Printable(problem) << '\n' << std::flush;
}

TOutcome RunOne(const TZolctlOptions &Options, HidPlatform &Platform,
                const std::optional<std::string> &Password, std::ostream &Out, std::ostream &Err,
                int Occurrence = 0) {
  TOutcome o;
  TSimScript script; // outlives the session, whose worker it acts on
  std::unique_ptr<TSession> session;
  const bool journaled = RecordedInJournal(Options.Command) && !Options.NoJournal;
  try {
    session = std::make_unique<TSession>(Options, Platform, Out, Err);
    session->Journaled = journaled;
    session->Password = Password;
    session->SerialOccurrence = Occurrence;
    session->AfterOpen = AfterOpen(Options, Platform, script);
    if (auto *sim = Options.Sim ? static_cast<SimPlatform *>(&Platform) : nullptr)
      for (const TSimFault &fault : Options.SimFaults)
        for (int i = 0; i < sim->InstrumentCount(); ++i)
          if (fault.Kind == TSimFaultKind::PlugIn && fault.AppliesTo(i))
            if (auto instrument = sim->Instrument(i))
              script.PlugIn(instrument, fault.Number);
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
    o.Message = Worded(e.Error()) + "; nothing was sent";
  } catch (const std::exception &e) {
    o.Status = ZolctlExit::NoInstrument;
    o.Message = e.what();
  }
  if (journaled && session && session->Identity)
    Journal(*session, Options, o, Err);
  if (const long dropped = session ? session->DroppedEvents() : 0; dropped > 0)
    Err << "zolctl: " << dropped
        << " answer(s) of the instrument were dropped while the output was not taken in time\n"
        << std::flush;
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

/// A serial number as part of a file name: letters, digits, '-' and '_' as they are, every
/// other byte as %XX, so that no serial number names a folder or another's file.
std::string FileNamePart(const std::string &Serial) {
  if (Serial.empty())
    return "_";
  std::string part;
  for (const char c : Serial) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0 && u < 0x80)
      part += c;
    else if (c == '-' || c == '_')
      part += c;
    else
      part += "%" + HexByte(u);
  }
  return part;
}

/// Pattern with each {serial} and {index} replaced.
std::string PerInstrument(const std::string &Pattern, const TTarget &Target) {
  std::string name;
  for (std::size_t at = 0; at < Pattern.size();) {
    if (Pattern.compare(at, 8, "{serial}") == 0) {
      name += FileNamePart(Target.Serial);
      at += 8;
    } else if (Pattern.compare(at, 7, "{index}") == 0) {
      name += std::to_string(Target.Index);
      at += 7;
    } else {
      name += Pattern[at++];
    }
  }
  return name;
}

/// The instruments a batch works on, in the order 'zolctl list' gives them, then those the system
/// lists but will not let us open (whose serial number cannot be read: each may be one asked for).
std::vector<TTarget> BatchTargets(const TZolctlOptions &Options, HidPlatform &Platform,
                                  std::ostream &Out, std::ostream &Err) {
  std::vector<TTarget> targets;
  TSession lister(Options, Platform, Out, Err);
  const std::vector<std::string> serials = lister.Serials();
  for (std::size_t i = 0; i < serials.size(); ++i) {
    const int occurrence = static_cast<int>(
        std::count(serials.begin(), serials.begin() + static_cast<std::ptrdiff_t>(i), serials[i]));
    if (!Options.Serial || serials[i] == *Options.Serial)
      targets.push_back({serials[i], occurrence, static_cast<int>(i), {}, {}});
  }
  const TCustomZOL &zol = lister.Zol();
  for (const std::string &path : Platform.ListInterfaces(false)) {
    HidAttributes attributes;
    if (!Platform.PeekAttributes(path, attributes) || attributes.VendorID != zol.Device->Vid ||
        attributes.ProductID != zol.Device->Pid)
      continue;
    const HidHandle handle = Platform.Open(path);
    if (handle != kInvalidHidHandle) {
      Platform.Close(handle);
      continue;
    }
    targets.push_back({{}, 0, -1, path, Platform.LastOpenError()});
  }
  return targets;
}

int RunBatch(const TZolctlOptions &Options, HidPlatform &Platform,
             const std::optional<std::string> &Password, std::ostream &Out, std::ostream &Err) {
  std::vector<TTarget> targets;
  try {
    targets = BatchTargets(Options, Platform, Out, Err);
  } catch (const EInterrupted &e) {
    Say(Err, "interrupted; nothing was sent");
    return e.Status;
  }
  if (targets.empty()) {
    Say(Err, Options.Serial ? "No instrument with serial number " + Printable(*Options.Serial)
                            : std::string("No instrument found (see 'zolctl list')"));
    return ZolctlExit::NoInstrument;
  }
  int worst = ZolctlExit::Done;
  TJson all = TJson::object();
  std::string text;
  std::vector<std::string> files; // the files of this batch's saves, one per instrument
  const std::size_t n = targets.size();
  for (std::size_t i = 0; i < n; ++i) {
    const TTarget &t = targets[i];
    const bool unopened = !t.Path.empty();
    std::string name = unopened ? t.Path : t.Serial;
    if (t.Occurrence > 0)
      name += " #" + std::to_string(t.Occurrence + 1);
    TZolctlOptions one = Options;
    one.Serial = t.Serial;
    const bool save = Options.Command == TZolctlCommand::Save;
    if (save)
      one.Text = PerInstrument(Options.Text, t);
    TOutcome o;
    if (unopened) {
      o.Status = ZolctlExit::NoInstrument;
      o.Message = "cannot open " + Printable(t.Path) + ": " + Printable(t.Reason) +
                  " (its serial number cannot be read; see 'zolctl list')";
    } else if (save && std::find(files.begin(), files.end(), one.Text) != files.end()) {
      o.Status = ZolctlExit::FileRefused;
      o.Message = Printable(one.Text) +
                  " is the file of another instrument of this batch (the same serial "
                  "number): nothing was written; put {index} in the name";
    } else {
      if (save)
        files.push_back(one.Text);
      o = RunOne(one, Platform, Password, Out, Err, t.Occurrence);
    }
    const std::string key = JsonText(name);
    TJson entry = o.Result.Json;
    entry["status"] = o.Status;
    if (!o.Message.empty())
      entry["error"] = JsonText(o.Message);
    all[key] = std::move(entry);
    text += "== " + Printable(name) + " ==\n" + o.Result.Text;
    Err << "zolctl: [" << i + 1 << "/" << n << "] " << Printable(name) << ": "
        << (o.Status == 0 ? std::string("done")
                          : "status " + std::to_string(o.Status) + ": " + o.Message)
        << '\n'
        << std::flush;
    worst = std::max(worst, o.Status);
    if (o.Interrupted || InterruptStatus() != 0) {
      worst = std::max(worst, o.Interrupted ? o.Status : InterruptStatus());
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
std::optional<std::string> ReadPasswordFile(const std::string &Path, const char *Prompt,
                                            std::string &Problem) {
  std::string line;
  if (Path == "-") {
    if (!ReadSecretLine(line, Prompt)) {
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
  if (Options.Command == TZolctlCommand::Journal)
    return RunJournal(Options, Out, Err);
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
  const bool unlock = options.Command == TZolctlCommand::Unlock;
  const bool change = options.Command == TZolctlCommand::ChangePassword;
  if (!password && options.PasswordFile) {
    password = ReadPasswordFile(*options.PasswordFile,
                                change ? "Current password: " : "Password: ", problem);
  } else if (!password) {
    if (const char *env = std::getenv("ZOLCTL_PASSWORD"); env && *env)
      password = std::string(env);
  }
  if (problem.empty() && (unlock || change) && !options.TextGiven) {
    // The current password is asked once (--password-file -), the new one once and, typed on a
    // terminal without echo, once more to confirm it; from a pipe, the next line.
    std::string again;
    if (unlock && password) {
      options.Text = *password;
    } else if (!ReadSecretLine(options.Text, change ? "New password: " : "Password: ")) {
      problem = "no password on standard input";
    } else if (change && StdinIsTerminal()) {
      if (!ReadSecretLine(again, "New password again: ")) {
        problem = "no password on standard input";
      } else {
        // Compared as the instrument takes them (upper case).
        CheckPassword("NEW", again, true);
        CheckPassword("NEW", options.Text, true);
        if (again != options.Text)
          problem = "the two new passwords differ: nothing was sent";
      }
    }
  }
  // A signal that ended a prompt may not have reached the waits yet.
  if (const int status = InterruptStatus() ? InterruptStatus() : CaughtSignalStatus()) {
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
  // The simulated instruments' memory is theirs alone for the whole run: another zolctl on the
  // same file would start from what this one is about to change, and undo it.
  TFileLock memoryLock;
  if (options.Sim && !options.SimMemory.empty()) {
    std::string reason;
    const auto take = memoryLock.Take(
        options.SimMemory, kMemoryLockWait, [] { return InterruptStatus() != 0; }, reason);
    if (take == TFileLock::TTake::Stopped) {
      Say(Err, "interrupted; nothing was sent");
      return InterruptStatus();
    }
    if (take == TFileLock::TTake::Busy) {
      Say(Err, "--sim-memory " + options.SimMemory + ": another zolctl has been using it for " +
                   std::to_string(kMemoryLockWait.count() / 1000) +
                   " s; try again once it has ended: nothing was sent");
      return ZolctlExit::FileRefused;
    }
    // Failed: the file cannot be kept beside it either; the instruments say so.
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
    // What the command learnt is printed even when it ends in a refusal (load's differences);
    // monitor has written its lines as they came.
    if (!o.Interrupted && options.Command != TZolctlCommand::Monitor &&
        (o.Status == ZolctlExit::Done || !o.Result.Text.empty()))
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
