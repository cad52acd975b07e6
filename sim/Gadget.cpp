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
  const int fd = ::open(Path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  const ssize_t n = ::write(fd, Text.data(), Text.size());
  const bool ok = n == static_cast<ssize_t>(Text.size());
  return ::close(fd) == 0 && ok;
}

bool WriteBytes(const std::string &Path, const std::vector<std::uint8_t> &Bytes) {
  const int fd = ::open(Path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  const ssize_t n = ::write(fd, Bytes.data(), Bytes.size());
  const bool ok = n == static_cast<ssize_t>(Bytes.size());
  return ::close(fd) == 0 && ok;
}

std::string ReadLine(const std::string &Path) {
  std::ifstream in(Path);
  std::string line;
  std::getline(in, line);
  return line;
}

/// The start of a small regular file; empty when Path is anything else (never opened if it is
/// a link; a FIFO put there is opened without waiting and then refused).
std::string ReadSmallFile(const std::string &Path) {
  const int fd = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return {};
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0)
      text.assign(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

std::string Hex(unsigned Value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "0x%04x", Value & 0xFFFF);
  return buffer;
}

std::string FirstUdc() {
  std::string first;
  if (DIR *dir = ::opendir("/sys/class/udc")) {
    while (const dirent *entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && (first.empty() || name < first))
        first = name;
    }
    ::closedir(dir);
  }
  return first;
}

/// The /dev node whose device number the function publishes in its "dev" file ("243:1").
std::string NodeOfFunction(const std::string &DevFile) {
  unsigned major = 0, minor = 0;
  if (std::sscanf(ReadLine(DevFile).c_str(), "%u:%u", &major, &minor) != 2)
    return {};
  const dev_t wanted = makedev(major, minor);
  std::string found;
  if (DIR *dir = ::opendir("/dev")) {
    while (const dirent *entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      struct stat st {};
      if (name.rfind("hidg", 0) == 0 && ::stat(("/dev/" + name).c_str(), &st) == 0 &&
          S_ISCHR(st.st_mode) && st.st_rdev == wanted)
        found = "/dev/" + name;
    }
    ::closedir(dir);
  }
  return found;
}

} // namespace

std::string GadgetControlPipe::Open(const std::string &Path) {
  Close();
  if (::mkfifo(Path.c_str(), 0600) != 0)
    return Path + ": " + std::strerror(errno) +
           (errno == EEXIST ? " (the gadget makes its control pipe itself: remove what is there, "
                              "or name another path)"
                            : "");
  struct stat made {};
  if (::lstat(Path.c_str(), &made) != 0 || !S_ISFIFO(made.st_mode) || made.st_uid != ::geteuid())
    return Path + ": replaced by another node while it was being made";
  // Opened without following a link, then checked: in a folder others write to, the name may
  // have been given to another node since it was made.
  const int fd = ::open(Path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat now {};
    if (::lstat(Path.c_str(), &now) == 0 && now.st_dev == made.st_dev && now.st_ino == made.st_ino)
      ::unlink(Path.c_str());
    return Path + ": " + std::strerror(error);
  }
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || opened.st_dev != made.st_dev || opened.st_ino != made.st_ino) {
    ::close(fd);
    return Path + ": replaced by another node while it was being opened";
  }
  Name = Path;
  Fd = fd;
  Device = made.st_dev;
  Inode = made.st_ino;
  return {};
}

void GadgetControlPipe::Close() {
  if (Fd < 0)
    return;
  struct stat now {};
  if (::lstat(Name.c_str(), &now) == 0 && S_ISFIFO(now.st_mode) && now.st_dev == Device &&
      now.st_ino == Inode)
    ::unlink(Name.c_str());
  ::close(Fd);
  Fd = -1;
  Name.clear();
}

std::string ReplaceGadgetFile(const std::string &Path, const std::string &Text, mode_t Mode) {
  const std::size_t slash = Path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : Path.substr(0, slash);
  std::string pattern = folder + "/.zolsim-gadget-XXXXXX";
  // mkostemp creates the file exclusively (O_EXCL): a link or a node of that name is never
  // followed nor opened.
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0)
    return folder + ": " + std::strerror(errno);
  int error = 0;
  for (std::size_t done = 0; done < Text.size() && error == 0;) {
    const ssize_t n = ::write(fd, Text.data() + done, Text.size() - done);
    if (n > 0)
      done += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR)
      error = errno;
  }
  if (error == 0 && ::fchmod(fd, Mode) != 0)
    error = errno;
  // Not flushed to the disk: the counters and the process id matter only while the system runs.
  if (::close(fd) != 0 && error == 0)
    error = errno;
  // rename replaces the name itself, whatever it names; it never writes through it.
  if (error == 0 && ::rename(pattern.c_str(), Path.c_str()) != 0)
    error = errno;
  if (error == 0)
    return {};
  ::unlink(pattern.c_str());
  return Path + ": " + std::strerror(error);
}

std::string GadgetPidFile(const std::string &Folder, const std::string &Name) {
  return Folder + "/zolsim-gadget." + Name + ".pid";
}

bool GadgetOwnerRuns(const std::string &PidFile, const std::string &Program) {
  const std::string text = ReadSmallFile(PidFile);
  char *end = nullptr;
  const long pid = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || pid <= 0 || (*end != 0 && *end != '\n') || pid == ::getpid())
    return false;
  return ReadLine("/proc/" + std::to_string(pid) + "/comm") == Program;
}

std::string TGadgetStats::Text() const {
  std::ostringstream out;
  out << "commands_received=" << CommandsReceived << "\ncommands_carried_out=" << CommandsCarriedOut
      << "\nreports_built=" << ReportsBuilt << "\nreports_written=" << ReportsWritten
      << "\nwould_block=" << WouldBlock << "\nshutdown=" << Shutdown << "\nlate_ticks=" << LateTicks
      << "\nplugs=" << Plugs << "\nunplugs=" << Unplugs << "\npresent=" << (Present ? 1 : 0)
      << "\n";
  return out.str();
}

std::vector<std::uint8_t> GadgetReportDescriptor(bool Oversized) {
  // Room for the longest form (two-byte counts) from the start: the items are appended one byte
  // at a time and the vector never grows while it is built.
  std::vector<std::uint8_t> d;
  d.reserve(32);
  auto put = [&](std::initializer_list<std::uint8_t> Bytes) {
    for (std::uint8_t b : Bytes) {
      d.push_back(b);
    }
  };
  put({0x06, 0x00, 0xFF}); // Usage Page (vendor 0xFF00)
  put({0x09, 0x01});       // Usage 1
  put({0xA1, 0x01});       // Collection (application)
  put({0x15, 0x00});       //   Logical Minimum 0
  put({0x26, 0xFF, 0x00}); //   Logical Maximum 255
  put({0x75, 0x08});       //   Report Size 8
  auto count = [&](int Bytes) {
    if (Bytes < 256) {
      put({0x95, static_cast<std::uint8_t>(Bytes)});
    } else {
      put({0x96, static_cast<std::uint8_t>(Bytes & 0xFF), static_cast<std::uint8_t>(Bytes >> 8)});
    }
  };
  count(Oversized ? kOversizedLength : kInputLength);
  put({0x09, 0x01, 0x81, 0x02}); // Usage 1, Input (data, variable, absolute)
  count(Oversized ? kOversizedLength : kOutputLength);
  put({0x09, 0x01, 0x91, 0x02}); // Usage 1, Output (data, variable, absolute)
  put({0xC0});                   // End Collection
  return d;
}

std::optional<TGadgetRequest> ParseGadgetRequest(const std::string &Line) {
  std::istringstream in(Line);
  std::string word, argument, extra;
  in >> word >> argument >> extra;
  if (!extra.empty())
    return std::nullopt;
  TGadgetRequest r;
  if (argument.empty()) {
    if (word == "plug")
      r.Kind = TGadgetRequest::TKind::Plug;
    else if (word == "unplug")
      r.Kind = TGadgetRequest::TKind::Unplug;
    else if (word == "stats")
      r.Kind = TGadgetRequest::TKind::Stats;
    else if (word == "quit")
      r.Kind = TGadgetRequest::TKind::Quit;
    else
      return std::nullopt;
    return r;
  }
  if (word == "period") {
    if (argument.size() > 4 || argument.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    r.Kind = TGadgetRequest::TKind::Period;
    r.Period = std::stoi(argument);
    if (r.Period < 1 || r.Period > 1000)
      return std::nullopt;
    return r;
  }
  if (word == "fault") {
    TSimFaultParse fault = ParseSimFault(argument, TSimFaultUser::Gadget, -1);
    if (!fault.Fault)
      return std::nullopt;
    r.Kind = TGadgetRequest::TKind::Fault;
    r.Fault = std::move(*fault.Fault);
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
  for (const TSimFault &fault : Opts.Faults)
    ApplyGadgetFault(fault);
}

UsbGadget::~UsbGadget() {
  Release();
}

TGadgetStats UsbGadget::Stats() const {
  TGadgetStats s = Counts;
  const TSimSnapshot now = Instrument.Snapshot();
  s.CommandsReceived = now.CommandsReceived;
  s.CommandsCarriedOut = now.CommandsCarriedOut;
  return s;
}

bool UsbGadget::Configure() {
  Udc = Opts.Udc.empty() ? FirstUdc() : Opts.Udc;
  if (Udc.empty()) {
    Problem =
        "no USB device controller in /sys/class/udc (load dummy_hcd, or the board's UDC driver)";
    return false;
  }
  struct stat st {};
  if (::stat(kGadgetRoot, &st) != 0) {
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
  const std::string function = g + "functions/hid." + Opts.Name;
  const TVirtualRW8Options &id = Opts.Instrument;
  // Each step in order; configfs creates the files of a folder when the folder is made.
  const bool ok =
      WriteFile(g + "idVendor", Hex(Opts.VendorID)) &&
      WriteFile(g + "idProduct", Hex(Opts.ProductID)) &&
      WriteFile(g + "bcdDevice", Hex(Opts.Version)) && WriteFile(g + "bcdUSB", "0x0200") &&
      ::mkdir((g + "strings/0x409").c_str(), 0755) == 0 &&
      WriteFile(g + "strings/0x409/manufacturer", id.Manufacturer) &&
      WriteFile(g + "strings/0x409/product", id.Product) &&
      WriteFile(g + "strings/0x409/serialnumber", id.SerialNumber) &&
      ::mkdir((g + "configs/c.1").c_str(), 0755) == 0 &&
      ::mkdir((g + "configs/c.1/strings/0x409").c_str(), 0755) == 0 &&
      WriteFile(g + "configs/c.1/strings/0x409/configuration", id.Product) &&
      WriteFile(g + "configs/c.1/MaxPower", "100") && ::mkdir(function.c_str(), 0755) == 0 &&
      WriteFile(function + "/protocol", "0") && WriteFile(function + "/subclass", "0") &&
      WriteFile(function + "/report_length", std::to_string(Opts.Oversized ? 64 : kInputLength)) &&
      WriteBytes(function + "/report_desc", GadgetReportDescriptor(Opts.Oversized)) &&
      ::symlink(function.c_str(), (g + "configs/c.1/hid." + Opts.Name).c_str()) == 0;
  if (!ok) {
    Problem = GadgetDir + ": configuring the gadget failed: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool UsbGadget::Claim() {
  const std::string pidFile = GadgetPidFile(Opts.RunFolder, Opts.Name);
  struct stat st {};
  if (::lstat(pidFile.c_str(), &st) == 0) {
    if (GadgetOwnerRuns(pidFile, ReadLine("/proc/self/comm"))) {
      Problem = "the gadget " + Opts.Name + " is served by the zolsim-gadget whose id " + pidFile +
                " holds (another --name)";
      return false;
    }
    // Its owner is gone (killed): a gadget of this name is the one it left behind.
    const std::string dir = kGadgetRoot + Opts.Name;
    if (::stat(dir.c_str(), &st) == 0) {
      std::fprintf(stderr,
                   "zolsim-gadget: removing %s, left behind by a zolsim-gadget that ended "
                   "without removing it\n",
                   dir.c_str());
      GadgetDir = dir;
      Remove();
    }
  }
  if (const std::string why = ReplaceGadgetFile(pidFile, std::to_string(::getpid()) + "\n", 0644);
      !why.empty()) {
    Problem = why;
    return false;
  }
  PidFile = pidFile;
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
  const bool ok = WriteFile(GadgetDir + "/UDC", Plugged ? Udc + "\n" : "\n");
  if (!Plugged)
    Instrument.SetPresent(false);
  if (ok) {
    ++(Plugged ? Counts.Plugs : Counts.Unplugs);
    Counts.Present = Plugged;
  } else {
    std::fprintf(stderr, "zolsim-gadget: %s %s: %s\n", Plugged ? "binding to" : "unbinding from",
                 Udc.c_str(), std::strerror(errno));
  }
  return ok;
}

bool UsbGadget::OpenFunction() {
  const std::string node = NodeOfFunction(GadgetDir + "/functions/hid." + Opts.Name + "/dev");
  if (node.empty())
    return false;
  Function = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  FunctionOpenedUs = NowUs();
  return Function >= 0;
}

void UsbGadget::CloseFunction() {
  if (Function >= 0)
    ::close(Function);
  Function = -1;
}

void UsbGadget::ServeCommand() {
  std::uint8_t buffer[kOversizedLength + 1];
  const ssize_t n = ::read(Function, buffer, sizeof buffer);
  if (n <= 0)
    return;
  std::uint8_t command[kOutputLength] = {};
  std::memcpy(command, buffer, static_cast<std::size_t>(n < kOutputLength ? n : kOutputLength));
  Instrument.ReceiveCommand(command);
}

void UsbGadget::ServeControl() {
  char buffer[256];
  const ssize_t n = ::read(Control.Descriptor(), buffer, sizeof buffer);
  if (n <= 0)
    return;
  ControlLine.append(buffer, static_cast<std::size_t>(n));
  for (std::size_t end; (end = ControlLine.find('\n')) != std::string::npos;) {
    const std::string line = ControlLine.substr(0, end);
    ControlLine.erase(0, end + 1);
    if (const auto request = ParseGadgetRequest(line))
      Apply(*request);
    else
      std::fprintf(stderr, "zolsim-gadget: request not understood: \"%s\"\n", line.c_str());
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
  const std::string text = Stats().Text();
  if (text == LastStatsText)
    return;
  const std::string why = ReplaceGadgetFile(Opts.StatsPath, text, 0644);
  if (why.empty())
    LastStatsText = text;
  else if (why != StatsProblem)
    std::fprintf(stderr, "zolsim-gadget: %s\n", why.c_str());
  StatsProblem = why;
}

bool UsbGadget::Run() {
  // A memory file that cannot be one (a folder, a FIFO) would lose every change silently.
  if (const std::string problem = Instrument.MemoryProblem(); !problem.empty()) {
    Problem = problem;
    return false;
  }
  if (!Opts.ControlPath.empty()) {
    if (const std::string why = Control.Open(Opts.ControlPath); !why.empty()) {
      Problem = why;
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

  std::int64_t lastTick = NowUs();
  std::int64_t nextTick = lastTick;
  std::int64_t nextStats = lastTick;
  std::int64_t nextOpen = lastTick;
  std::uint8_t report[kSimInputReportLength];
  while (!StopRequested.load() && !Quit) {
    std::int64_t now = NowUs();
    if (Function < 0 && now >= nextOpen) {
      OpenFunction();
      nextOpen = now + kReopenPaceUs;
    }
    pollfd fds[2] = {{Function, POLLIN, 0}, {Control.Descriptor(), POLLIN, 0}};
    // Bounded so that Stop() is seen within 100 ms whatever the period.
    const std::int64_t waitUs = std::min<std::int64_t>(nextTick - now, 100'000);
    // ppoll, not poll: a millisecond-rounded wait would miss every other period at 1 kHz.
    const timespec wait{0, waitUs > 0 ? static_cast<long>(waitUs * 1000) : 0};
    const int r = ::ppoll(fds, 2, &wait, nullptr);
    if (r > 0 && Function >= 0) {
      if (fds[0].revents & POLLIN)
        ServeCommand();
      else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
        CloseFunction();
    }
    if (r > 0 && (fds[1].revents & POLLIN))
      ServeControl();

    now = NowUs();
    if (now >= nextTick) {
      if (Instrument.Tick(std::chrono::microseconds(now - lastTick), report))
        WriteReport(report);
      lastTick = now;
      const std::int64_t period = Instrument.LinkState().ReportPeriod * 1000LL;
      nextTick += period;
      if (nextTick <= now) { // fell behind: skip the lost periods rather than burst
        Counts.LateTicks += static_cast<std::uint64_t>((now - nextTick) / period + 1);
        nextTick = now + period;
      }
    }
    if (now >= nextStats) {
      WriteStats();
      nextStats = now + kStatsPaceUs;
    }
  }
  Release();
  Counts.Present = false;
  WriteStats();
  return true;
}

} // namespace zol
