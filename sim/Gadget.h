#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "link/DeviceIds.h"
#include "sim/Faults.h"
#include "sim/VirtualRW8.h"

namespace zol {

/// Identity and start-up choices of a simulated instrument served through the Linux USB gadget
/// HID function.
struct TGadgetOptions {
  /// Name of the gadget under /sys/kernel/config/usb_gadget and of its HID function.
  std::string Name = "rw8";
  /// The USB device controller to bind to ("dummy_udc.0"); empty: the first one listed.
  std::string Udc;
  std::uint16_t VendorID = kRW8VendorId;
  std::uint16_t ProductID = kRW8ProductId;
  std::uint16_t Version = 0x0104;
  /// Declares 300-byte reports, beyond what the program's buffers take.
  bool Oversized = false;
  /// Starts unplugged: configured but not bound to the controller.
  bool StartUnplugged = false;
  /// A named pipe, made by the gadget (nothing may sit at the path yet) and removed on the way
  /// out, that takes one request per line; empty: none.
  std::string ControlPath;
  /// A file replaced whole (a new file renamed over it) with the counters while they change and
  /// at the end; empty: none.
  std::string StatsPath;
  /// Where the gadget notes its process id while it runs (GadgetPidFile), so that the next start
  /// can tell a gadget left behind by a killed one from another program's.
  std::string RunFolder = "/run";
  /// The instrument's identity, report period, memory file.
  TVirtualRW8Options Instrument;
  /// Faults applied at start (sim/Faults.h; unplugged and oversized are the two choices above).
  std::vector<TSimFault> Faults;
};

/// What the gadget has seen and done; written to the stats file as "key=value" lines.
struct TGadgetStats {
  std::uint64_t CommandsReceived = 0; ///< as the instrument counts them
  std::uint64_t CommandsCarriedOut = 0;
  std::uint64_t ReportsBuilt = 0;   ///< one per report period while plugged in
  std::uint64_t ReportsWritten = 0; ///< taken by the gadget function
  std::uint64_t WouldBlock = 0;     ///< EAGAIN: the host does not poll (nobody holds the node)
  std::uint64_t Shutdown = 0;       ///< ESHUTDOWN: not configured by the host yet, or unplugged
  std::uint64_t LateTicks = 0;      ///< report periods skipped because the loop fell behind
  std::uint64_t Plugs = 0;
  std::uint64_t Unplugs = 0;
  bool Present = false;
  std::string Text() const;
};

/// The RW8's report descriptor as the gadget declares it: vendor page, 12-byte input and 8-byte
/// output reports without report ids; with Oversized, 300-byte reports of each kind.
std::vector<std::uint8_t> GadgetReportDescriptor(bool Oversized);

/// One request to the gadget, as a line on its control pipe.
struct TGadgetRequest {
  enum class TKind : std::uint8_t { Plug, Unplug, Period, Fault, Stats, Quit };
  TKind Kind = TKind::Stats;
  int Period = 0;  ///< for Period: 1 to 1000 ms
  TSimFault Fault; ///< for Fault: one the gadget takes (sim/Faults.h)
};

/// Parses one control line: "plug", "unplug", "period MS", "fault NAME", "stats", "quit".
std::optional<TGadgetRequest> ParseGadgetRequest(const std::string &Line);

/// The gadget's control pipe: a FIFO it makes itself and removes again, never a node it found.
class GadgetControlPipe {
public:
  GadgetControlPipe() = default;
  ~GadgetControlPipe() { Close(); }
  GadgetControlPipe(const GadgetControlPipe &) = delete;
  GadgetControlPipe &operator=(const GadgetControlPipe &) = delete;

  /// Makes a FIFO at Path (mode 0600) and opens it for reading and for writing too, so that a
  /// writer closing its end never ends it; reads do not block. Anything already at Path (a FIFO
  /// included: another user may hold it open) is refused and left alone. Empty on success, or
  /// why not.
  std::string Open(const std::string &Path);
  int Descriptor() const { return Fd; }
  /// Closes the pipe and removes its name, when the name still leads to the FIFO made here.
  void Close();

private:
  std::string Name;
  int Fd = -1;
  dev_t Device = 0;
  ino_t Inode = 0;
};

/// Gives the file at Path the content Text, whole or not at all: a new file made exclusively
/// beside it under a unique name (mkstemp), with the permissions Mode, renamed over Path. What
/// sat at Path (a symbolic link, a FIFO, a file) is replaced, never followed nor opened. Empty
/// on success, or why not; the new file is removed on failure.
std::string ReplaceGadgetFile(const std::string &Path, const std::string &Text, mode_t Mode);

/// Folder/zolsim-gadget.NAME.pid: where the gadget NAME notes its process id while it runs.
std::string GadgetPidFile(const std::string &Folder, const std::string &Name);

/// Whether another process, whose id PidFile holds, runs the program Program (its
/// /proc/PID/comm): false when the file is missing or not a regular file, when the process has
/// ended, when the id now belongs to another program, or when it is this process's own.
bool GadgetOwnerRuns(const std::string &PidFile, const std::string &Program);

/// A VirtualRW8 answering through the gadget HID function: configures the gadget in configfs,
/// binds it to a controller, reads the 8-byte output reports from /dev/hidgN and writes one
/// 12-byte input report per report period. Run() owns the one thread that does all of it;
/// Stop() (safe from a signal handler) ends it, and Run() then unbinds and removes the gadget,
/// also when it fails half-way. A gadget of the same name left behind by a killed zolsim-gadget
/// (its pid file names a process that is gone) is removed first.
class UsbGadget {
public:
  explicit UsbGadget(TGadgetOptions Options);
  ~UsbGadget();
  UsbGadget(const UsbGadget &) = delete;
  UsbGadget &operator=(const UsbGadget &) = delete;

  /// Sets the gadget up and serves until Stop() or "quit". False, with Error() saying why, when
  /// the gadget cannot be set up.
  bool Run();
  void Stop() { StopRequested.store(true); }
  const std::string &Error() const { return Problem; }
  TGadgetStats Stats() const;

private:
  bool Configure();
  bool Claim();
  void Remove();
  void Release();
  bool Bind(bool Plugged);
  bool OpenFunction();
  void CloseFunction();
  void ServeCommand();
  void ServeControl();
  void Apply(const TGadgetRequest &Request);
  void ApplyGadgetFault(const TSimFault &Fault);
  void WriteReport(const std::uint8_t *Report);
  void WriteStats();

  const TGadgetOptions Opts;
  VirtualRW8 Instrument;
  std::string GadgetDir;
  std::string Udc;
  std::string PidFile; // ours, while it holds our process id
  int Function = -1;   // /dev/hidgN
  std::int64_t FunctionOpenedUs = 0;
  GadgetControlPipe Control;
  std::string ControlLine; // a request not yet ended by a newline
  bool Quit = false;
  std::atomic<bool> StopRequested{false};
  std::string Problem;
  TGadgetStats Counts; // only the Run() thread touches it
  std::string LastStatsText;
  std::string StatsProblem; // the last failure to write the stats file, said once
};

} // namespace zol
