#include "sim/Gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include "protocol/Codec.h"

namespace zol {

namespace {

constexpr const char *kGadgetRoot = "/sys/kernel/config/usb_gadget/";
// The answer, without the report id byte usbhid adds back; the command, which usbhid hands over
// without its report id byte.
constexpr int kInputLength = kAnswerLength;
constexpr int kOutputLength = kCommandLength;
constexpr int kOversizedLength = kSimOversizedInputLength;
// After binding and after an unplug the function refuses writes (ESHUTDOWN) for about 350 ms;
// the node is reopened at this pace while that lasts, never in a tight loop.
constexpr std::int64_t kReopenPaceUs = 100'000;
constexpr std::int64_t kStatsPaceUs = 200'000;

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool WriteFile(const std::string &Path, const std::string &Text) {
  const int Fd = ::open(Path.c_str(), O_WRONLY | O_CLOEXEC);
  if (Fd < 0)
    return false;
  const ssize_t n = ::write(Fd, Text.data(), Text.size());
  const bool Ok = n == static_cast<ssize_t>(Text.size());
  return ::close(Fd) == 0 && Ok;
}

bool WriteBytes(const std::string &Path, const std::vector<std::uint8_t> &Bytes) {
  const int Fd = ::open(Path.c_str(), O_WRONLY | O_CLOEXEC);
  if (Fd < 0)
    return false;
  const ssize_t n = ::write(Fd, Bytes.data(), Bytes.size());
  const bool Ok = n == static_cast<ssize_t>(Bytes.size());
  return ::close(Fd) == 0 && Ok;
}

std::string ReadLine(const std::string &Path) {
  std::ifstream In(Path);
  std::string Line;
  std::getline(In, Line);
  return Line;
}

/// The start of a small regular file; empty when Path is anything else (never opened if it is
/// a link; a FIFO put there is opened without waiting and then refused).
std::string ReadSmallFile(const std::string &Path) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (Fd < 0)
    return {};
  std::string Text;
  struct stat St {};
  if (::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode)) {
    char Buffer[64];
    const ssize_t n = ::read(Fd, Buffer, sizeof Buffer);
    if (n > 0)
      Text.assign(Buffer, static_cast<std::size_t>(n));
  }
  ::close(Fd);
  return Text;
}

std::string Hex(unsigned Value) {
  char Buffer[8];
  std::snprintf(Buffer, sizeof Buffer, "0x%04x", Value & 0xFFFF);
  return Buffer;
}

std::string FirstUdc() {
  std::string First;
  if (DIR *Dir = ::opendir("/sys/class/udc")) {
    while (const dirent *Entry = ::readdir(Dir)) {
      const std::string Name = Entry->d_name;
      if (Name != "." && Name != ".." && (First.empty() || Name < First))
        First = Name;
    }
    ::closedir(Dir);
  }
  return First;
}

/// The /dev node whose device number the function publishes in its "dev" file ("243:1").
std::string NodeOfFunction(const std::string &DevFile) {
  unsigned Major = 0, Minor = 0;
  if (std::sscanf(ReadLine(DevFile).c_str(), "%u:%u", &Major, &Minor) != 2)
    return {};
  const dev_t Wanted = makedev(Major, Minor);
  std::string Found;
  if (DIR *Dir = ::opendir("/dev")) {
    while (const dirent *Entry = ::readdir(Dir)) {
      const std::string Name = Entry->d_name;
      struct stat St {};
      if (Name.rfind("hidg", 0) == 0 && ::stat(("/dev/" + Name).c_str(), &St) == 0 &&
          S_ISCHR(St.st_mode) && St.st_rdev == Wanted)
        Found = "/dev/" + Name;
    }
    ::closedir(Dir);
  }
  return Found;
}

} // namespace

std::string GadgetControlPipe::Open(const std::string &Path) {
  Close();
  if (::mkfifo(Path.c_str(), 0600) != 0)
    return Path + ": " + std::strerror(errno) +
           (errno == EEXIST ? " (the gadget makes its control pipe itself: remove what is there, "
                              "or name another path)"
                            : "");
  struct stat Made {};
  if (::lstat(Path.c_str(), &Made) != 0 || !S_ISFIFO(Made.st_mode) || Made.st_uid != ::geteuid())
    return Path + ": replaced by another node while it was being made";
  // Opened without following a link, then checked: in a folder others write to, the name may
  // have been given to another node since it was made.
  const int NewFd = ::open(Path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (NewFd < 0) {
    const int Error = errno;
    struct stat Now {};
    if (::lstat(Path.c_str(), &Now) == 0 && Now.st_dev == Made.st_dev && Now.st_ino == Made.st_ino)
      ::unlink(Path.c_str());
    return Path + ": " + std::strerror(Error);
  }
  struct stat Opened {};
  if (::fstat(NewFd, &Opened) != 0 || Opened.st_dev != Made.st_dev ||
      Opened.st_ino != Made.st_ino) {
    ::close(NewFd);
    return Path + ": replaced by another node while it was being opened";
  }
  Name = Path;
  Fd = NewFd;
  Device = Made.st_dev;
  Inode = Made.st_ino;
  return {};
}

void GadgetControlPipe::Close() {
  if (Fd < 0)
    return;
  struct stat Now {};
  if (::lstat(Name.c_str(), &Now) == 0 && S_ISFIFO(Now.st_mode) && Now.st_dev == Device &&
      Now.st_ino == Inode)
    ::unlink(Name.c_str());
  ::close(Fd);
  Fd = -1;
  Name.clear();
}

std::string ReplaceGadgetFile(const std::string &Path, const std::string &Text, mode_t Mode) {
  const std::size_t Slash = Path.rfind('/');
  const std::string Folder = Slash == std::string::npos ? "."
                             : Slash == 0               ? "/"
                                                        : Path.substr(0, Slash);
  std::string Pattern = Folder + "/.zolsim-gadget-XXXXXX";
  // mkostemp creates the file exclusively (O_EXCL): a link or a node of that name is never
  // followed nor opened.
  const int Fd = ::mkostemp(Pattern.data(), O_CLOEXEC);
  if (Fd < 0)
    return Folder + ": " + std::strerror(errno);
  int Error = 0;
  for (std::size_t Done = 0; Done < Text.size() && Error == 0;) {
    const ssize_t n = ::write(Fd, Text.data() + Done, Text.size() - Done);
    if (n > 0)
      Done += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR)
      Error = errno;
  }
  if (Error == 0 && ::fchmod(Fd, Mode) != 0)
    Error = errno;
  // Not flushed to the disk: the counters and the process id matter only while the system runs.
  if (::close(Fd) != 0 && Error == 0)
    Error = errno;
  // rename replaces the name itself, whatever it names; it never writes through it.
  if (Error == 0 && ::rename(Pattern.c_str(), Path.c_str()) != 0)
    Error = errno;
  if (Error == 0)
    return {};
  ::unlink(Pattern.c_str());
  return Path + ": " + std::strerror(Error);
}

std::string GadgetPidFile(const std::string &Folder, const std::string &Name) {
  return Folder + "/zolsim-gadget." + Name + ".pid";
}

bool GadgetOwnerRuns(const std::string &PidFile, const std::string &Program) {
  const std::string Text = ReadSmallFile(PidFile);
  char *End = nullptr;
  const long Pid = std::strtol(Text.c_str(), &End, 10);
  if (Text.empty() || Pid <= 0 || (*End != 0 && *End != '\n') || Pid == ::getpid())
    return false;
  return ReadLine("/proc/" + std::to_string(Pid) + "/comm") == Program;
}

std::string TGadgetStats::Text() const {
  std::ostringstream Out;
  Out << "commands_received=" << CommandsReceived << "\ncommands_carried_out=" << CommandsCarriedOut
      << "\nreports_built=" << ReportsBuilt << "\nreports_written=" << ReportsWritten
      << "\nwould_block=" << WouldBlock << "\nshutdown=" << Shutdown << "\nlate_ticks=" << LateTicks
      << "\nplugs=" << Plugs << "\nunplugs=" << Unplugs << "\npresent=" << (Present ? 1 : 0)
      << "\n";
  return Out.str();
}

std::vector<std::uint8_t> GadgetReportDescriptor(bool Oversized) {
  // Room for the longest form (two-byte counts) from the start: the items are appended one byte
  // at a time and the vector never grows while it is built.
  std::vector<std::uint8_t> d;
  d.reserve(32);
  auto Put = [&](std::initializer_list<std::uint8_t> Bytes) {
    for (std::uint8_t b : Bytes) {
      d.push_back(b);
    }
  };
  Put({0x06, 0x00, 0xFF}); // Usage Page (vendor 0xFF00)
  Put({0x09, 0x01});       // Usage 1
  Put({0xA1, 0x01});       // Collection (application)
  Put({0x15, 0x00});       //   Logical Minimum 0
  Put({0x26, 0xFF, 0x00}); //   Logical Maximum 255
  Put({0x75, 0x08});       //   Report Size 8
  auto Count = [&](int Bytes) {
    if (Bytes < 256) {
      Put({0x95, static_cast<std::uint8_t>(Bytes)});
    } else {
      Put({0x96, static_cast<std::uint8_t>(Bytes & 0xFF), static_cast<std::uint8_t>(Bytes >> 8)});
    }
  };
  Count(Oversized ? kOversizedLength : kInputLength);
  Put({0x09, 0x01, 0x81, 0x02}); // Usage 1, Input (data, variable, absolute)
  Count(Oversized ? kOversizedLength : kOutputLength);
  Put({0x09, 0x01, 0x91, 0x02}); // Usage 1, Output (data, variable, absolute)
  Put({0xC0});                   // End Collection
  return d;
}

std::optional<TGadgetRequest> ParseGadgetRequest(const std::string &Line) {
  std::istringstream In(Line);
  std::string Word, Argument, Extra;
  In >> Word >> Argument >> Extra;
  if (!Extra.empty())
    return std::nullopt;
  TGadgetRequest r;
  if (Argument.empty()) {
    if (Word == "plug")
      r.Kind = TGadgetRequest::TKind::Plug;
    else if (Word == "unplug")
      r.Kind = TGadgetRequest::TKind::Unplug;
    else if (Word == "stats")
      r.Kind = TGadgetRequest::TKind::Stats;
    else if (Word == "quit")
      r.Kind = TGadgetRequest::TKind::Quit;
    else
      return std::nullopt;
    return r;
  }
  if (Word == "period") {
    if (Argument.size() > 4 || Argument.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    r.Kind = TGadgetRequest::TKind::Period;
    r.Period = std::stoi(Argument);
    if (r.Period < 1 || r.Period > 1000)
      return std::nullopt;
    return r;
  }
  if (Word == "fault") {
    TSimFaultParse Fault = ParseSimFault(Argument, TSimFaultUser::Gadget, -1);
    if (!Fault.Fault)
      return std::nullopt;
    r.Kind = TGadgetRequest::TKind::Fault;
    r.Fault = std::move(*Fault.Fault);
    return r;
  }
  return std::nullopt;
}

UsbGadget::UsbGadget(TGadgetOptions Options)
    : Opts(std::move(Options)), Instrument([this] {
        TVirtualRW8Options o = Opts.Instrument;
        o.Streaming = false; // Run() ticks the instrument on its own thread
        return o;
      }()) {
  for (const TSimFault &Fault : Opts.Faults)
    ApplyGadgetFault(Fault);
}

UsbGadget::~UsbGadget() {
  Release();
}

TGadgetStats UsbGadget::Stats() const {
  TGadgetStats s = Counts;
  const TSimSnapshot Now = Instrument.Snapshot();
  s.CommandsReceived = Now.CommandsReceived;
  s.CommandsCarriedOut = Now.CommandsCarriedOut;
  return s;
}

bool UsbGadget::Configure() {
  Udc = Opts.Udc.empty() ? FirstUdc() : Opts.Udc;
  if (Udc.empty()) {
    Problem =
        "no USB device controller in /sys/class/udc (load dummy_hcd, or the board's UDC driver)";
    return false;
  }
  struct stat St {};
  if (::stat(kGadgetRoot, &St) != 0) {
    Problem = std::string(kGadgetRoot) + " is missing: load libcomposite and mount configfs on "
                                         "/sys/kernel/config";
    return false;
  }
  GadgetDir = kGadgetRoot + Opts.Name;
  if (::mkdir(GadgetDir.c_str(), 0755) != 0) {
    Problem = GadgetDir + ": " + std::strerror(errno) +
              (errno == EEXIST ? " (another gadget has this name: --name)" : "");
    GadgetDir.clear();
    return false;
  }
  const std::string g = GadgetDir + "/";
  const std::string FunctionDir = g + "functions/hid." + Opts.Name;
  const TVirtualRW8Options &Id = Opts.Instrument;
  // Each step in order; configfs creates the files of a folder when the folder is made.
  const bool Ok =
      WriteFile(g + "idVendor", Hex(Opts.VendorID)) &&
      WriteFile(g + "idProduct", Hex(Opts.ProductID)) &&
      WriteFile(g + "bcdDevice", Hex(Opts.Version)) && WriteFile(g + "bcdUSB", "0x0200") &&
      ::mkdir((g + "strings/0x409").c_str(), 0755) == 0 &&
      WriteFile(g + "strings/0x409/manufacturer", Id.Manufacturer) &&
      WriteFile(g + "strings/0x409/product", Id.Product) &&
      WriteFile(g + "strings/0x409/serialnumber", Id.SerialNumber) &&
      ::mkdir((g + "configs/c.1").c_str(), 0755) == 0 &&
      ::mkdir((g + "configs/c.1/strings/0x409").c_str(), 0755) == 0 &&
      WriteFile(g + "configs/c.1/strings/0x409/configuration", Id.Product) &&
      WriteFile(g + "configs/c.1/MaxPower", "100") && ::mkdir(FunctionDir.c_str(), 0755) == 0 &&
      WriteFile(FunctionDir + "/protocol", "0") && WriteFile(FunctionDir + "/subclass", "0") &&
      WriteFile(FunctionDir + "/report_length",
                std::to_string(Opts.Oversized ? 64 : kInputLength)) &&
      WriteBytes(FunctionDir + "/report_desc", GadgetReportDescriptor(Opts.Oversized)) &&
      ::symlink(FunctionDir.c_str(), (g + "configs/c.1/hid." + Opts.Name).c_str()) == 0;
  if (!Ok) {
    Problem = GadgetDir + ": configuring the gadget failed: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool UsbGadget::Claim() {
  const std::string NewPidFile = GadgetPidFile(Opts.RunFolder, Opts.Name);
  struct stat St {};
  if (::lstat(NewPidFile.c_str(), &St) == 0) {
    if (GadgetOwnerRuns(NewPidFile, ReadLine("/proc/self/comm"))) {
      Problem = "the gadget " + Opts.Name + " is served by the zolsim-gadget whose id " +
                NewPidFile + " holds (another --name)";
      return false;
    }
    // Its owner is gone (killed): a gadget of this name is the one it left behind.
    const std::string Dir = kGadgetRoot + Opts.Name;
    if (::stat(Dir.c_str(), &St) == 0) {
      std::fprintf(stderr,
                   "zolsim-gadget: removing %s, left behind by a zolsim-gadget that ended "
                   "without removing it\n",
                   Dir.c_str());
      GadgetDir = Dir;
      Remove();
    }
  }
  if (const std::string Why =
          ReplaceGadgetFile(NewPidFile, std::to_string(::getpid()) + "\n", 0644);
      !Why.empty()) {
    Problem = Why;
    return false;
  }
  PidFile = NewPidFile;
  return true;
}

void UsbGadget::Release() {
  CloseFunction();
  Remove();
  if (!PidFile.empty() && ReadSmallFile(PidFile) == std::to_string(::getpid()) + "\n")
    ::unlink(PidFile.c_str());
  PidFile.clear();
  Control.Close();
}

void UsbGadget::Remove() {
  if (GadgetDir.empty())
    return;
  const std::string g = GadgetDir + "/";
  WriteFile(g + "UDC", "\n");
  // configfs wants the reverse order of creation.
  ::unlink((g + "configs/c.1/hid." + Opts.Name).c_str());
  ::rmdir((g + "configs/c.1/strings/0x409").c_str());
  ::rmdir((g + "configs/c.1").c_str());
  ::rmdir((g + "functions/hid." + Opts.Name).c_str());
  ::rmdir((g + "strings/0x409").c_str());
  ::rmdir(GadgetDir.c_str());
  GadgetDir.clear();
}

bool UsbGadget::Bind(bool Plugged) {
  // The model goes first on a plug, so that the host's first poll gets a report.
  if (Plugged)
    Instrument.SetPresent(true);
  const bool Ok = WriteFile(GadgetDir + "/UDC", Plugged ? Udc + "\n" : "\n");
  if (!Plugged)
    Instrument.SetPresent(false);
  if (Ok) {
    ++(Plugged ? Counts.Plugs : Counts.Unplugs);
    Counts.Present = Plugged;
  } else {
    std::fprintf(stderr, "zolsim-gadget: %s %s: %s\n", Plugged ? "binding to" : "unbinding from",
                 Udc.c_str(), std::strerror(errno));
  }
  return Ok;
}

bool UsbGadget::OpenFunction() {
  const std::string Node = NodeOfFunction(GadgetDir + "/functions/hid." + Opts.Name + "/dev");
  if (Node.empty())
    return false;
  Function = ::open(Node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  FunctionOpenedUs = NowUs();
  return Function >= 0;
}

void UsbGadget::CloseFunction() {
  if (Function >= 0)
    ::close(Function);
  Function = -1;
}

void UsbGadget::ServeCommand() {
  std::uint8_t Buffer[kOversizedLength + 1];
  const ssize_t n = ::read(Function, Buffer, sizeof Buffer);
  if (n <= 0)
    return;
  std::uint8_t Command[kOutputLength] = {};
  std::memcpy(Command, Buffer, static_cast<std::size_t>(n < kOutputLength ? n : kOutputLength));
  Instrument.ReceiveCommand(Command);
}

void UsbGadget::ServeControl() {
  char Buffer[256];
  const ssize_t n = ::read(Control.Descriptor(), Buffer, sizeof Buffer);
  if (n <= 0)
    return;
  ControlLine.append(Buffer, static_cast<std::size_t>(n));
  for (std::size_t End; (End = ControlLine.find('\n')) != std::string::npos;) {
    const std::string Line = ControlLine.substr(0, End);
    ControlLine.erase(0, End + 1);
    if (const auto Request = ParseGadgetRequest(Line))
      Apply(*Request);
    else
      std::fprintf(stderr, "zolsim-gadget: request not understood: \"%s\"\n", Line.c_str());
  }
  if (ControlLine.size() > 1024) // no newline in sight: not a request
    ControlLine.clear();
}

void UsbGadget::Apply(const TGadgetRequest &Request) {
  switch (Request.Kind) {
  case TGadgetRequest::TKind::Plug:
    if (!Counts.Present)
      Bind(true);
    break;
  case TGadgetRequest::TKind::Unplug:
    if (Counts.Present)
      Bind(false);
    break;
  case TGadgetRequest::TKind::Period:
    Instrument.SetReportPeriod(Request.Period);
    break;
  case TGadgetRequest::TKind::Fault:
    ApplyGadgetFault(Request.Fault);
    break;
  case TGadgetRequest::TKind::Stats:
    break;
  case TGadgetRequest::TKind::Quit:
    Quit = true;
    break;
  }
  WriteStats();
}

void UsbGadget::ApplyGadgetFault(const TSimFault &Fault) {
  // Unplugged and oversized are the gadget's own start-up choices (TGadgetOptions): the model
  // alone cannot unbind the gadget or change the descriptor it declared.
  if (Fault.Kind != TSimFaultKind::Unplugged && Fault.Kind != TSimFaultKind::Oversized)
    ApplySimFault(Instrument, Fault);
}

void UsbGadget::WriteReport(const std::uint8_t *Report) {
  ++Counts.ReportsBuilt;
  if (Function < 0)
    return;
  // The report id byte stays home: the host's usbhid puts it back for an unnumbered report.
  const ssize_t n = ::write(Function, Report + kReportIdLength, kInputLength);
  if (n == kInputLength) {
    ++Counts.ReportsWritten;
  } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    ++Counts.WouldBlock;
  } else {
    ++Counts.Shutdown;
    if (NowUs() - FunctionOpenedUs >= kReopenPaceUs)
      CloseFunction();
  }
}

void UsbGadget::WriteStats() {
  if (Opts.StatsPath.empty())
    return;
  const std::string Text = Stats().Text();
  if (Text == LastStatsText)
    return;
  const std::string Why = ReplaceGadgetFile(Opts.StatsPath, Text, 0644);
  if (Why.empty())
    LastStatsText = Text;
  else if (Why != StatsProblem)
    std::fprintf(stderr, "zolsim-gadget: %s\n", Why.c_str());
  StatsProblem = Why;
}

bool UsbGadget::Run() {
  // A memory file that cannot be one (a folder, a FIFO) would lose every change silently.
  if (const std::string Found = Instrument.MemoryProblem(); !Found.empty()) {
    Problem = Found;
    return false;
  }
  if (!Opts.ControlPath.empty()) {
    if (const std::string Why = Control.Open(Opts.ControlPath); !Why.empty()) {
      Problem = Why;
      return false;
    }
  }
  if (!Claim() || !Configure()) {
    Release();
    return false;
  }
  if (!Opts.StartUnplugged && !Bind(true)) {
    Problem = "binding the gadget to " + Udc + " failed (is it taken by another gadget?)";
    Release();
    return false;
  }
  if (Opts.StartUnplugged)
    Instrument.SetPresent(false);
  WriteStats();

  std::int64_t LastTick = NowUs();
  std::int64_t NextTick = LastTick;
  std::int64_t NextStats = LastTick;
  std::int64_t NextOpen = LastTick;
  std::uint8_t Report[kSimInputReportLength];
  while (!StopRequested.load() && !Quit) {
    std::int64_t Now = NowUs();
    if (Function < 0 && Now >= NextOpen) {
      OpenFunction();
      NextOpen = Now + kReopenPaceUs;
    }
    pollfd Fds[2] = {{Function, POLLIN, 0}, {Control.Descriptor(), POLLIN, 0}};
    // Bounded so that Stop() is seen within 100 ms whatever the period.
    const std::int64_t WaitUs = std::min<std::int64_t>(NextTick - Now, 100'000);
    // ppoll, not poll: a millisecond-rounded wait would miss every other period at 1 kHz.
    const timespec Wait{0, WaitUs > 0 ? static_cast<long>(WaitUs * 1000) : 0};
    const int r = ::ppoll(Fds, 2, &Wait, nullptr);
    if (r > 0 && Function >= 0) {
      if (Fds[0].revents & POLLIN)
        ServeCommand();
      else if (Fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
        CloseFunction();
    }
    if (r > 0 && (Fds[1].revents & POLLIN))
      ServeControl();

    Now = NowUs();
    if (Now >= NextTick) {
      if (Instrument.Tick(std::chrono::microseconds(Now - LastTick), Report))
        WriteReport(Report);
      LastTick = Now;
      const std::int64_t Period = Instrument.LinkState().ReportPeriod * 1000LL;
      NextTick += Period;
      if (NextTick <= Now) { // fell behind: skip the lost periods rather than burst
        Counts.LateTicks += static_cast<std::uint64_t>((Now - NextTick) / Period + 1);
        NextTick = Now + Period;
      }
    }
    if (Now >= NextStats) {
      WriteStats();
      NextStats = Now + kStatsPaceUs;
    }
  }
  Release();
  Counts.Present = false;
  WriteStats();
  return true;
}

} // namespace zol
