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
  TVirtualRW8Options Base;
  Base.MemoryFile = Options.SimMemory;
  // The serial numbers are the instruments' identity: given (serial=TEXT) before they start.
  auto Sim = std::make_unique<SimPlatform>(0, Base);
  for (int i = 0; i < Options.SimCount; ++i) {
    TVirtualRW8Options One = SimPlatform::OptionsFor(i, Base);
    for (const TSimFault &Fault : Options.SimFaults)
      if (Fault.Time() == TSimFaultTime::Identity && Fault.AppliesTo(i))
        One.SerialNumber = Fault.Text;
    Sim->AddInstrument(One);
  }
  for (const TSimFault &Fault : Options.SimFaults)
    for (int i = 0; i < Sim->InstrumentCount(); ++i)
      if (auto Instrument = Sim->Instrument(i); Instrument && Fault.AppliesTo(i))
        ApplySimFault(*Instrument, Fault);
  return Sim;
}

/// Why the simulated instruments do not keep their memory file (refused at the start, or a save
/// that failed); empty when they do, when there is none, or on the machine's instruments.
std::string SimMemoryProblem(HidPlatform &Platform) {
  auto *Sim = dynamic_cast<SimPlatform *>(&Platform);
  if (!Sim)
    return {};
  for (int i = 0; i < Sim->InstrumentCount(); ++i)
    if (auto Instrument = Sim->Instrument(i))
      if (std::string Problem = Instrument->MemoryProblem(); !Problem.empty())
        return "--sim-memory: " + Problem;
  return {};
}

/// The simulator's timed faults on a thread of their own: blip=MS, MS ms after the instrument is
/// opened it is unplugged, and MS ms later plugged in again; plug-in=MS, it is plugged in MS ms
/// after the start. The thread ends with this object.
class TSimScript {
public:
  ~TSimScript() {
    {
      std::lock_guard Lock(Mutex);
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
      std::unique_lock Lock(Mutex);
      for (bool Present : Steps) {
        if (Changed.wait_for(Lock, std::chrono::milliseconds(Ms), [this] { return Stop; }))
          return;
        Instrument->SetPresent(Present);
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
    auto &Sim = static_cast<SimPlatform &>(Platform);
    for (const TSimFault &Fault : Options.SimFaults) {
      auto Instrument = Sim.Instrument(Index);
      if (!Instrument || !Fault.AppliesTo(Index))
        continue;
      if (Fault.Kind == TSimFaultKind::UnplugOnOpen)
        Instrument->SetPresent(false);
      else if (Fault.Kind == TSimFaultKind::Blip)
        Script.Blip(Instrument, Fault.Number);
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
  TWork Work;
  Work.Command = Options.Command;
  Work.Identity = *Session.Identity;
  Work.Before = Session.Before;
  if (!O.Interrupted && (O.Status == ZolctlExit::Done || O.Status == ZolctlExit::Refused)) {
    try {
      Work.After = Session.ReadSettingsBack();
    } catch (const EInterrupted &e) {
      // The command had ended; the signal came during the read for the journal.
      O.Interrupted = true;
      O.Status = e.Status;
      O.Message = "interrupted; " + Session.SentNote();
    }
  }
  Work.Status = O.Status;
  Work.Interrupted = O.Interrupted;
  Work.Differs = Session.Differs;
  Work.Message = O.Message;
  if (Options.Command == TZolctlCommand::Load)
    Work.ParameterFile = Options.Text;
  if (const std::string Problem = RecordWork(Work); !Problem.empty())
    Err << "zolctl: the journal could not be written: " << Printable(Problem) << '\n' << std::flush;
}

TOutcome RunOne(const TZolctlOptions &Options, HidPlatform &Platform,
                const std::optional<std::string> &Password, std::ostream &Out, std::ostream &Err,
                int Occurrence = 0) {
  TOutcome o;
  TSimScript Script; // outlives the session, whose worker it acts on
  std::unique_ptr<TSession> Session;
  const bool Journaled = RecordedInJournal(Options.Command) && !Options.NoJournal;
  try {
    Session = std::make_unique<TSession>(Options, Platform, Out, Err);
    Session->Journaled = Journaled;
    Session->Password = Password;
    Session->SerialOccurrence = Occurrence;
    Session->AfterOpen = AfterOpen(Options, Platform, Script);
    if (auto *Sim = Options.Sim ? static_cast<SimPlatform *>(&Platform) : nullptr)
      for (const TSimFault &Fault : Options.SimFaults)
        for (int i = 0; i < Sim->InstrumentCount(); ++i)
          if (Fault.Kind == TSimFaultKind::PlugIn && Fault.AppliesTo(i))
            if (auto Instrument = Sim->Instrument(i))
              Script.PlugIn(Instrument, Fault.Number);
    o.Result = CommandFunction(Options.Command)(*Session);
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
          "interrupted; " + (Session ? Session->SentNote() : std::string("nothing was sent"));
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
  if (Journaled && Session && Session->Identity)
    Journal(*Session, Options, o, Err);
  if (const long Dropped = Session ? Session->DroppedEvents() : 0; Dropped > 0)
    Err << "zolctl: " << Dropped
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
  std::string Part;
  for (const char c : Serial) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0 && u < 0x80)
      Part += c;
    else if (c == '-' || c == '_')
      Part += c;
    else
      Part += "%" + HexByte(u);
  }
  return Part;
}

/// Pattern with each {serial} and {index} replaced.
std::string PerInstrument(const std::string &Pattern, const TTarget &Target) {
  std::string Name;
  for (std::size_t At = 0; At < Pattern.size();) {
    if (Pattern.compare(At, 8, "{serial}") == 0) {
      Name += FileNamePart(Target.Serial);
      At += 8;
    } else if (Pattern.compare(At, 7, "{index}") == 0) {
      Name += std::to_string(Target.Index);
      At += 7;
    } else {
      Name += Pattern[At++];
    }
  }
  return Name;
}

/// The instruments a batch works on, in the order 'zolctl list' gives them, then those the system
/// lists but will not let us open (whose serial number cannot be read: each may be one asked for).
std::vector<TTarget> BatchTargets(const TZolctlOptions &Options, HidPlatform &Platform,
                                  std::ostream &Out, std::ostream &Err) {
  std::vector<TTarget> Targets;
  TSession Lister(Options, Platform, Out, Err);
  const std::vector<std::string> Serials = Lister.Serials();
  for (std::size_t i = 0; i < Serials.size(); ++i) {
    const int Occurrence = static_cast<int>(
        std::count(Serials.begin(), Serials.begin() + static_cast<std::ptrdiff_t>(i), Serials[i]));
    if (!Options.Serial || Serials[i] == *Options.Serial)
      Targets.push_back({Serials[i], Occurrence, static_cast<int>(i), {}, {}});
  }
  const TCustomZOL &Zol = Lister.Zol();
  for (const std::string &Path : Platform.ListInterfaces(false)) {
    HidAttributes Attributes;
    if (!Platform.PeekAttributes(Path, Attributes) || Attributes.VendorID != Zol.Device->Vid ||
        Attributes.ProductID != Zol.Device->Pid)
      continue;
    const HidHandle Handle = Platform.Open(Path);
    if (Handle != kInvalidHidHandle) {
      Platform.Close(Handle);
      continue;
    }
    Targets.push_back({{}, 0, -1, Path, Platform.LastOpenError()});
  }
  return Targets;
}

int RunBatch(const TZolctlOptions &Options, HidPlatform &Platform,
             const std::optional<std::string> &Password, std::ostream &Out, std::ostream &Err) {
  std::vector<TTarget> Targets;
  try {
    Targets = BatchTargets(Options, Platform, Out, Err);
  } catch (const EInterrupted &e) {
    Say(Err, "interrupted; nothing was sent");
    return e.Status;
  }
  if (Targets.empty()) {
    Say(Err, Options.Serial ? "No instrument with serial number " + Printable(*Options.Serial)
                            : std::string("No instrument found (see 'zolctl list')"));
    return ZolctlExit::NoInstrument;
  }
  int Worst = ZolctlExit::Done;
  TJson All = TJson::object();
  std::string Text;
  std::vector<std::string> Files; // the files of this batch's saves, one per instrument
  const std::size_t n = Targets.size();
  for (std::size_t i = 0; i < n; ++i) {
    const TTarget &t = Targets[i];
    const bool Unopened = !t.Path.empty();
    std::string Name = Unopened ? t.Path : t.Serial;
    if (t.Occurrence > 0)
      Name += " #" + std::to_string(t.Occurrence + 1);
    TZolctlOptions One = Options;
    One.Serial = t.Serial;
    const bool Save = Options.Command == TZolctlCommand::Save;
    if (Save)
      One.Text = PerInstrument(Options.Text, t);
    TOutcome o;
    if (Unopened) {
      o.Status = ZolctlExit::NoInstrument;
      o.Message = "cannot open " + Printable(t.Path) + ": " + Printable(t.Reason) +
                  " (its serial number cannot be read; see 'zolctl list')";
    } else if (Save && std::find(Files.begin(), Files.end(), One.Text) != Files.end()) {
      o.Status = ZolctlExit::FileRefused;
      o.Message = Printable(One.Text) +
                  " is the file of another instrument of this batch (the same serial "
                  "number): nothing was written; put {index} in the name";
    } else {
      if (Save)
        Files.push_back(One.Text);
      o = RunOne(One, Platform, Password, Out, Err, t.Occurrence);
    }
    const std::string Key = JsonText(Name);
    TJson Entry = o.Result.Json;
    Entry["status"] = o.Status;
    if (!o.Message.empty())
      Entry["error"] = JsonText(o.Message);
    All[Key] = std::move(Entry);
    Text += "== " + Printable(Name) + " ==\n" + o.Result.Text;
    Err << "zolctl: [" << i + 1 << "/" << n << "] " << Printable(Name) << ": "
        << (o.Status == 0 ? std::string("done")
                          : "status " + std::to_string(o.Status) + ": " + o.Message)
        << '\n'
        << std::flush;
    Worst = std::max(Worst, o.Status);
    if (o.Interrupted || InterruptStatus() != 0) {
      Worst = std::max(Worst, o.Interrupted ? o.Status : InterruptStatus());
      if (i + 1 < n)
        Say(Err, "the batch was interrupted: " + std::to_string(n - i - 1) +
                     " instrument(s) not started");
      break;
    }
  }
  TResult Merged;
  Merged.Json = std::move(All);
  Merged.Text = std::move(Text);
  return std::max(Worst, Print(Options, Merged, Out, Err));
}

/// The first line of a file or of standard input ("-").
std::optional<std::string> ReadPasswordFile(const std::string &Path, const char *Prompt,
                                            std::string &Problem) {
  std::string Line;
  if (Path == "-") {
    if (!ReadSecretLine(Line, Prompt)) {
      Problem = "--password-file -: no password on standard input";
      return std::nullopt;
    }
    return Line;
  }
  std::ifstream In(Path, std::ios::binary);
  if (!In || !std::getline(In, Line)) {
    Problem = "--password-file " + Path + ": cannot be read";
    return std::nullopt;
  }
  if (!Line.empty() && Line.back() == '\r')
    Line.pop_back();
  return Line;
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
  TZolctlOptions Taken = Options;
  std::optional<std::string> Password = Taken.Password;
  std::string Problem;
  const bool Unlock = Taken.Command == TZolctlCommand::Unlock;
  const bool Change = Taken.Command == TZolctlCommand::ChangePassword;
  if (!Password && Taken.PasswordFile) {
    Password = ReadPasswordFile(*Taken.PasswordFile,
                                Change ? "Current password: " : "Password: ", Problem);
  } else if (!Password) {
    if (const char *Env = std::getenv("ZOLCTL_PASSWORD"); Env && *Env)
      Password = std::string(Env);
  }
  if (Problem.empty() && (Unlock || Change) && !Taken.TextGiven) {
    // The current password is asked once (--password-file -), the new one once and, typed on a
    // terminal without echo, once more to confirm it; from a pipe, the next line.
    std::string Again;
    if (Unlock && Password) {
      Taken.Text = *Password;
    } else if (!ReadSecretLine(Taken.Text, Change ? "New password: " : "Password: ")) {
      Problem = "no password on standard input";
    } else if (Change && StdinIsTerminal()) {
      if (!ReadSecretLine(Again, "New password again: ")) {
        Problem = "no password on standard input";
      } else {
        // Compared as the instrument takes them (upper case).
        CheckPassword("NEW", Again, true);
        CheckPassword("NEW", Taken.Text, true);
        if (Again != Taken.Text)
          Problem = "the two new passwords differ: nothing was sent";
      }
    }
  }
  // A signal that ended a prompt may not have reached the waits yet.
  if (const int Status = InterruptStatus() ? InterruptStatus() : CaughtSignalStatus()) {
    Say(Err, "interrupted; nothing was sent");
    return Status;
  }
  if (Problem.empty() && Password)
    Problem = CheckPassword("the password", *Password, false);
  if (Problem.empty() && (Unlock || Change) && !Taken.TextGiven)
    Problem = CheckPassword(Change ? "NEW" : "PASSWORD", Taken.Text, Change);
  if (!Problem.empty()) {
    Say(Err, Problem);
    return ZolctlExit::Usage;
  }
  if (Unlock)
    Password = Taken.Text;

  // Refuse a bad file before touching any instrument.
  if (Taken.Command == TZolctlCommand::Load) {
    try {
      ReadFileOrExit(Taken.Text, true);
    } catch (const TExit &e) {
      Say(Err, e.Message);
      return e.Code;
    }
  }
  // The simulated instruments' memory is theirs alone for the whole run: another zolctl on the
  // same file would start from what this one is about to change, and undo it.
  TFileLock MemoryLock;
  if (Taken.Sim && !Taken.SimMemory.empty()) {
    std::string Reason;
    const auto Take = MemoryLock.Take(
        Taken.SimMemory, kMemoryLockWait, [] { return InterruptStatus() != 0; }, Reason);
    if (Take == TFileLock::TTake::Stopped) {
      Say(Err, "interrupted; nothing was sent");
      return InterruptStatus();
    }
    if (Take == TFileLock::TTake::Busy) {
      Say(Err, "--sim-memory " + Taken.SimMemory + ": another zolctl has been using it for " +
                   std::to_string(kMemoryLockWait.count() / 1000) +
                   " s; try again once it has ended: nothing was sent");
      return ZolctlExit::FileRefused;
    }
    // Failed: the file cannot be kept beside it either; the instruments say so.
  }
  std::unique_ptr<HidPlatform> Platform;
  try {
    Platform = MakePlatform(Taken);
  } catch (const std::exception &e) {
    Say(Err, e.what());
    return ZolctlExit::NoInstrument;
  }
  if (const std::string Problem = SimMemoryProblem(*Platform); !Problem.empty()) {
    Say(Err, Problem + ": nothing was sent");
    return ZolctlExit::FileRefused;
  }
  int Status = ZolctlExit::Done;
  if (Taken.All) {
    Status = RunBatch(Taken, *Platform, Password, Out, Err);
  } else {
    TOutcome o = RunOne(Taken, *Platform, Password, Out, Err);
    Status = o.Status;
    // What the command learnt is printed even when it ends in a refusal (load's differences);
    // monitor has written its lines as they came.
    if (!o.Interrupted && Taken.Command != TZolctlCommand::Monitor &&
        (o.Status == ZolctlExit::Done || !o.Result.Text.empty()))
      Status = std::max(Status, Print(Taken, o.Result, Out, Err));
    Say(Err, o.Message);
  }
  // The instrument took the command, but what it keeps did not reach its file.
  if (const std::string Problem = SimMemoryProblem(*Platform); !Problem.empty()) {
    Say(Err, Problem);
    Status = std::max(Status, ZolctlExit::FileRefused);
  }
  return Status;
}

int ZolctlMain(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  const TZolctlParse Parse = ParseZolctlArgs(Args);
  if (!Parse.Help.empty()) {
    Out << Parse.Help << std::flush;
    return Out ? ZolctlExit::Done : ZolctlExit::OutputFailed;
  }
  if (!Parse.Error.empty() || !Parse.Options) {
    Err << "zolctl: " << Parse.Error << "\n(zolctl --help lists the commands)\n";
    return ZolctlExit::Usage;
  }
  return RunZolctl(*Parse.Options, Out, Err);
}

void ZolctlInterrupt(int Status) {
  InterruptWaits(Status);
}

} // namespace zol
