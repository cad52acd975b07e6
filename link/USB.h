#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "link/DeviceIds.h"
#include "link/HidPlatform.h"
#include "link/Item.h"
#include "link/ThreadPriority.h"
#include "link/Types.h"

namespace zol {

/// Bytes the worker can read per turn: the input report, report id byte included.
inline constexpr int kReadBufferSize = 256;
/// Room for one output report in the worker's write buffer.
inline constexpr int kWriteBufferSize = 260;
/// The longest output report a channel builds: the report id byte and 256 data bytes.
inline constexpr int kMaxOutputReportLength = 257;
/// How many output reports may wait for the worker at once.
inline constexpr int kPendingCapacity = 16;
/// Reports a turn reads at most from a kept handle to reach the newest (hidraw queues 64).
inline constexpr int kMaxReportsPerTurn = 64;
/// How long the worker waits for an input report before it goes on with its turn.
inline constexpr std::chrono::milliseconds kReadTimeout{100};
/// How long a sender waits for the worker to take its report.
inline constexpr std::chrono::milliseconds kSendTimeout{100};
/// How long the worker rests after a turn that found the device absent.
inline constexpr std::chrono::milliseconds kAbsentPause{100};
/// How often a front end looks at the system's news of added instruments, and how long after
/// one it waits before it scans: longer than the worker's pause, so that an instrument that was
/// open and comes back is taken back by the worker, not scanned for.
inline constexpr std::chrono::milliseconds kArrivalPoll{100};
inline constexpr std::chrono::milliseconds kArrivalSettle{150};
static_assert(kArrivalSettle > kAbsentPause);
/// Where the system tells nothing of arrivals, how often a front end that waits for an
/// instrument scans for one.
inline constexpr std::chrono::milliseconds kArrivalScanEvery{250};
/// Identity strings and paths are cut to this many characters.
inline constexpr std::size_t kMaxShortText = 255;

/// Message shown when the worker thread cannot be started (text, title). The windows set it to a
/// message box; by default it goes to standard error.
using TFatalMessageHook = std::function<void(const std::string &Text, const std::string &Title)>;
void SetFatalMessageHook(TFatalMessageHook Hook);
void ShowFatalMessage(const std::string &Text, const std::string &Title);

/// The worker: owns every exchange with the device. Each turn opens the selected path, reads one
/// input report (at most kReadTimeout), writes the oldest waiting output report and closes the
/// path again; whether the path opens is how presence is judged.
///
/// Where the platform keeps devices open (Linux), the handle of a turn that read without error is
/// kept for the next turn instead, which then costs no open, and each turn reads it down to the
/// newest report queued; a read error closes it, and the next open decides presence as before. A
/// read or write that reported the device gone closes it too, and the next turn is a loss.
/// Where the platform hands paths out again (Linux), the instrument is opened only once the
/// system says its path holds a device of its ids and serial number (none, when it has none);
/// while one with a serial number is absent, the worker looks for it on the other paths and
/// follows it there.
///
/// Shutdown order: the owner calls Stop() then WaitFor(); the destructor does both if needed.
class TUSBThread : public TObject {
public:
  using TReceiveHook = std::function<void(TObject *Sender, int Count)>;
  using THook = std::function<void(TObject *Sender)>;

  explicit TUSBThread(HidPlatform &Platform);
  ~TUSBThread() override;

  /// Lets the worker run; the first call starts the thread. Throws std::system_error when the
  /// thread cannot be started.
  void Resume();
  /// Parks the worker at the start of its next turn and waits until it is parked. Called on the
  /// worker thread itself (from a hook) it only asks for the park and returns at once.
  void Suspend();
  bool Suspended() const;
  /// Asks the loop to end after the current turn and wakes a parked or resting worker.
  void Stop();
  /// Waits until the loop has ended (no-op when it never started).
  void WaitFor();
  /// Cuts the rest of an absent turn short: the system told of an arrival, the worker looks for
  /// its instrument now rather than at the end of its pause.
  void LookNow();
  bool OnWorkerThread() const;

  /// Queues one output report of Length bytes (report id byte first). Returns a ticket, or -1
  /// when Length is out of range or the queue stayed full for RoomTimeout. From the worker thread
  /// the report goes out in the same turn, right after the running hook.
  std::int64_t QueueReport(const std::uint8_t *Report, int Length,
                           std::chrono::milliseconds RoomTimeout = kSendTimeout);
  /// Waits at most Timeout until the report of Ticket has been taken: written whole, or dropped
  /// because the device was found absent. Never waits when called on the worker thread.
  bool WaitReport(std::int64_t Ticket, std::chrono::milliseconds Timeout);
  /// Reports still waiting for the worker.
  int PendingCount() const;
  /// True once the report of Ticket has been written (or dropped with the device absent).
  bool Taken(std::int64_t Ticket) const;

  TThreadPriority Priority() const { return CurrentPriority.load(std::memory_order_relaxed); }
  /// Completed turns since the start (for tests and benchmarks).
  std::uint64_t Turns() const { return TurnCount.load(std::memory_order_relaxed); }

  /// Sets the device path (cut to kMaxShortText); only while the worker is parked, or from the
  /// worker itself.
  void SetPath(const std::string &NewPath);
  /// The path the worker links to now (it changes when the worker follows its instrument).
  std::string LinkedPath() const;
  /// Hands the worker a handle on Path, opened by the channel while the worker is parked, to use
  /// as its own from the next turn where the platform keeps devices open; else closes it.
  void AdoptHandle(HidHandle Handle);

  /// What the channel tells the worker between turns.
  struct TSettings {
    /// Who the selected instrument is (read at selection); without ids: no check; without a
    /// serial number: checked on its path, never followed.
    HidIdentity Identity;
    /// Length of an input report; 0: the worker reads nothing.
    int InputLength = 0;
    TReceiveHook ReceiveHook;
    THook DisconnectHook;
    THook ConnectHook;
  };
  /// Lets Change edit the settings, and forgets the connection (the next open raises OnConnect
  /// again). Only while the worker is parked, not started or finished, or from the worker's own
  /// hooks: the park handshake orders the writes before the worker's next turn. Throws
  /// std::logic_error, changing nothing, while the worker runs.
  void Configure(const std::function<void(TSettings &)> &Change);
  /// The last input report read (report id byte first); read it from the receive hook. Where
  /// the handle stays open between turns, each turn gives the newest of the reports queued.
  const std::uint8_t *LastReport() const { return ReadBuffer; }

  std::atomic<bool> StopRequested{false};

private:
  struct PendingReport {
    std::uint8_t Data[kWriteBufferSize];
    int Length;
    std::int64_t Ticket;
  };

  void Execute();
  void Turn();
  /// The handle of this turn: the kept one while it is still good, else a fresh open of Path
  /// (refused when the path holds another instrument). kInvalidHidHandle: the device is absent.
  /// WasKept: the handle was kept from an earlier turn (reports may have queued in it).
  HidHandle LinkHandle(bool &WasKept);
  /// Ends the turn's use of handle: kept for the next turn, or closed (a device the platform
  /// says has gone is a loss in the next turn).
  void EndLink(HidHandle Handle, bool ReadFailed);
  /// After a read of count bytes on a kept handle: reads away the older reports queued behind it
  /// (at most kMaxReportsPerTurn in all, without waiting) and leaves the newest in ReadBuffer.
  /// Returns the newest one's length; readFailed is set when a read failed.
  int ReadToNewest(HidHandle Handle, int Count, bool &ReadFailed);
  /// In an absent turn: moves Path to where the selected instrument is now, if it is elsewhere.
  void FollowInstrument();
  bool WaitWhileParked();
  void DropPending();
  void SetPriority(TThreadPriority Priority);
  void RestFor(std::chrono::milliseconds Pause);

  HidPlatform &Platform;
  // Written through Configure and SetPath only (Path also by the worker when it follows its
  // instrument); read by the worker.
  std::string Path;
  HidIdentity Identity;
  bool Connected = false;
  bool LinkLost = false; // the last turn found the device gone: this one is absent
  int InputLength = 0;
  std::uint8_t ReadBuffer[kReadBufferSize]{};
  std::uint8_t SpareBuffer[kReadBufferSize]{}; // a report being read after ReadBuffer's
  TReceiveHook ReceiveHook;
  THook DisconnectHook;
  THook ConnectHook;
  // Only the worker touches these (and the channel while the worker is parked or stopped).
  HidHandle Kept = kInvalidHidHandle; // open since an earlier turn
  std::uint64_t KeptGeneration = 0;   // PathGeneration when Kept was opened
  std::uint64_t PathGeneration = 0;   // one more at every SetPath
  mutable std::mutex PathMutex; //!< Protects Path against LinkedPath while the worker changes it.
  std::thread Thread;           // started by the first Resume, joined by WaitFor or the destructor
  std::atomic<std::thread::id> WorkerId{};

  //! Protects Started, SuspendRequested, Parked, Finished, LookRequested.
  mutable std::mutex StateMutex;
  std::condition_variable StateChanged;
  bool Started = false;
  bool LookRequested = false;
  bool SuspendRequested = true;
  bool Parked = false;
  bool Finished = false;

  //! Protects Pending, PendingHead, PendingSize, NextTicket, TakenTicket.
  mutable std::mutex QueueMutex;
  std::condition_variable QueueChanged;
  PendingReport Pending[kPendingCapacity];
  int PendingHead = 0;
  int PendingSize = 0;
  std::int64_t NextTicket = 1;
  std::int64_t TakenTicket = 0;

  // The report being written in this turn; only the worker touches it.
  std::uint8_t WriteBuffer[kWriteBufferSize]{};

  std::atomic<TThreadPriority> CurrentPriority{TThreadPriority::Normal};
  std::atomic<std::uint64_t> TurnCount{0};
};

/// The report channel: owns the worker and the device list, and tells its owner of the device's
/// arrival, loss and each received report. Events run on the worker thread. The worker calls
/// virtual members: a class that derives from the channel calls CloseDevice in its own
/// destructor, before its part of the object goes.
class TCustomUSB : public TObject {
public:
  explicit TCustomUSB(HidPlatform &Platform);
  /// Stops the worker if CloseDevice was not called.
  ~TCustomUSB() override;

  /// Rebuilds Items and returns the number of matching devices.
  virtual int Enumerate() = 0;
  /// Items.Get(Index): empty outside the list.
  virtual void DevicePath(int Index, std::string &Path) = 0;
  /// Copies bytes 1 .. n of the last input report to Destination[0 .. n-1]; returns n.
  virtual int ReadFrame(std::uint8_t *Destination, int n) = 0;
  /// Hands one report of L bytes to the worker and waits at most kSendTimeout: L when taken
  /// (written, or dropped because the device is absent), -1 when not taken in time (the report
  /// then stays waiting). From the worker thread it queues and returns L at once.
  virtual int WriteFrame(const std::uint8_t *Report, int L);

  /// Selects list entry Index for the worker: false when there is no such entry.
  bool SelectDevice(int Index);
  /// Stops the worker; at most one more turn. A second call does nothing.
  void CloseDevice();

  /// True while a device is selected and the worker runs for it: absent, it looks for it.
  bool Following() const;

  int LastReceivedLength() const { return ReceivedLength.load(std::memory_order_relaxed); }
  TUSBThread *Worker() const { return Thread.get(); }
  HidPlatform &Platform() const { return PlatformRef; }

  TItemList Items;
  bool ViewRegisteredDevices = false;
  TNotifyEvent OnRXFrame;
  TNotifyEvent OnDisconnect;
  TNotifyEvent OnConnect;

protected:
  /// SelectDevice, leaving the worker parked when ResumeWorker is false. When Opened is given,
  /// the selected path's handle opened for the selection (or kInvalidHidHandle) is handed over
  /// to the caller, who closes it.
  bool SelectPath(int Index, bool ResumeWorker, HidHandle *Opened = nullptr);
  /// The path to ask about list entry Index: where the worker links to now when that entry is
  /// the selected device and the worker followed it to another path, else Listed.
  std::string PathOfEntry(int Index, const std::string &Listed) const;
  virtual void DoRXFrame(TObject *Sender, int Count);
  virtual void DoConnect(TObject *Sender);
  virtual void DoDisconnect(TObject *Sender);

  std::unique_ptr<TUSBThread> Thread;

private:
  HidPlatform &PlatformRef;
  std::atomic<int> ReceivedLength{0};
  mutable std::mutex SelectionMutex; //!< Protects SelectedIndex and SelectedPath.
  int SelectedIndex = -1;
  std::string SelectedPath;
};

/// The HID flavour of the channel: discovery of devices by vendor and product id, identity
/// strings, report ids and report lengths.
class THIDDevice : public TCustomUSB {
public:
  explicit THIDDevice(HidPlatform &Platform);
  /// Stops the worker before the device's own members go.
  ~THIDDevice() override;

  int Enumerate() override;
  void DevicePath(int Index, std::string &Path) override;
  /// Identity strings of device number n (1-based). Manufacturer and Product are empty, and
  /// SerialNumber "unknown", when the device cannot be asked; all three are empty when n is
  /// beyond the list.
  void Manufacturer(int n, std::string &Text);
  void Product(int n, std::string &Text);
  void SerialNumber(int n, std::string &Text);

  /// Selects the device and reads its report lengths. False when there is no such device,
  /// when its lengths cannot be read, or when it declares reports longer than the channel's
  /// buffers (such a device is refused: the worker is left without a path).
  /// The reason is in OpenError. A device listed at the scan that cannot be opened now (gone
  /// meanwhile) is refused too.
  bool OpenDevice(int Index);
  /// Why the last OpenDevice was false, in plain words; empty after one that succeeded. Read it
  /// on the thread that called OpenDevice.
  std::string OpenError;

  int ReadFrame(std::uint8_t *Destination, int n) override;
  /// Sends n data bytes as one output report (id 0, data, zero padding to OutputLength).
  /// Returns OutputLength - 1 when taken, -2 when not taken in time.
  int WriteFrame(const std::uint8_t *Data, int n) override;

  std::uint16_t Vid = kRW8VendorId;
  std::uint16_t Pid = kDefaultHidProductId;
  HidReportLengths Capabilities;
  /// Output report length including the report id byte; 0 until OpenDevice has read it.
  std::atomic<int> OutputLength{0};

protected:
  /// Builds the report for n data bytes and queues it without waiting; the ticket, or -1 when
  /// nothing was queued (lengths not read yet, or the queue is full).
  std::int64_t QueueFrame(const std::uint8_t *Data, int n);
  /// Waits for the ticket of QueueFrame: OutputLength - 1 when taken, -2 otherwise.
  int WaitFrame(std::int64_t Ticket);
  /// True once the report of a QueueFrame ticket has gone out.
  bool FrameTaken(std::int64_t Ticket) const;

private:
  enum class IdentityString : std::uint8_t { Manufacturer, Product, SerialNumber };
  void QueryIdentity(int n, IdentityString Which, std::string &Text);
};

} // namespace zol
