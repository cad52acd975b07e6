#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/DeviceIds.h"
#include "link/HidPlatform.h"
#include "sim/VirtualRW8.h"

namespace zol {

/// Path of the non-matching HID device every SimPlatform lists.
inline constexpr const char *kSimMousePath = "sim:mouse";
inline constexpr std::uint16_t kSimMouseVendor = 0x046D;
inline constexpr std::uint16_t kSimMouseProduct = 0xC077;
/// Vendor and product id of the simulated instruments.
inline constexpr std::uint16_t kSimRW8Vendor = kRW8VendorId;
inline constexpr std::uint16_t kSimRW8Product = kRW8ProductId;
/// Handles that can be open at once.
inline constexpr int kSimMaxHandles = 64;
/// Input reports an open handle keeps until they are read; the oldest goes first.
inline constexpr int kSimHandleQueue = 32;

/// A HidPlatform whose devices are virtual instruments ("sim:0", "sim:1" ...) and one mouse
/// ("sim:mouse", listed after the first instrument). Like hidraw, each open handle receives the
/// reports produced after it was opened, paths are node numbers that can be handed out again
/// (Renumber), and the worker keeps its device open between turns (unless told otherwise).
/// Thread-safe; Open and Close do not allocate.
///
/// Shutdown order: the destructor detaches and stops every instrument (joining their streaming
/// threads) before its tables go; Read calls still waiting must have returned by then (they wait
/// at most their time-out).
class SimPlatform final : public HidPlatform, private TSimReportListener {
public:
  /// Count instruments, serial numbers SIMRW8 followed by 10 digits (1, 2, ...).
  explicit SimPlatform(int Count = 1, const TVirtualRW8Options &Base = {});
  ~SimPlatform() override;

  /// Number of instrument slots, removed ones included (indices stay stable).
  int InstrumentCount() const;
  /// Instrument i (nullptr when removed or out of range).
  std::shared_ptr<VirtualRW8> Instrument(int i) const;
  /// Plugs in a new instrument; returns its index (path "sim:<index>").
  int AddInstrument(const TVirtualRW8Options &Options);
  /// Removes instrument i for good (its handles read -1); the instrument is stopped.
  void RemoveInstrument(int i);
  /// Options of instrument number i as this platform makes them (serial number, memory file).
  static TVirtualRW8Options OptionsFor(int i, const TVirtualRW8Options &Base);

  /// Path of instrument i ("sim:<node>"); empty when removed or out of range. The node is i
  /// until a renumbering moves it.
  std::string PathOf(int i) const;
  /// Renumbering, as the kernel does when an instrument is plugged back while a handle on its
  /// node is still open: instrument i is unplugged and comes back on a new path. When j >= 0,
  /// instrument j is plugged in again on i's old path (its own path is freed).
  void Renumber(int i, int j = -1);
  /// Times instrument i has been opened (by any Open, listing included).
  int OpensOf(int i) const;
  /// Whether the worker keeps its device open between turns (default true, as on Linux; false
  /// opens and closes it on every turn, as on Windows).
  void SetKeepsDevicesOpen(bool Keep) { KeepOpen.store(Keep); }

  std::vector<std::string> ListInterfaces(bool IncludeRegistered) override;
  HidHandle Open(const std::string &Path) override;
  std::string LastOpenError() const override;
  void Close(HidHandle Handle) override;
  bool PeekAttributes(const std::string &Path, HidAttributes &Attributes) override;
  bool GetAttributes(HidHandle Handle, HidAttributes &Attributes) override;
  bool GetManufacturerString(HidHandle Handle, std::string &Text) override;
  bool GetProductString(HidHandle Handle, std::string &Text) override;
  bool GetSerialNumberString(HidHandle Handle, std::string &Text) override;
  bool GetReportLengths(HidHandle Handle, HidReportLengths &Lengths) override;
  int Read(HidHandle Handle, std::uint8_t *Buffer, int Length, int TimeoutMs) override;
  int Write(HidHandle Handle, const std::uint8_t *Report, int Length) override;
  bool KeepsDevicesOpen() const override { return KeepOpen.load(); }
  bool StillThere(HidHandle Handle) override;
  bool ReusesPaths() const override { return true; }
  HidIdentityMatch MatchIdentity(const std::string &Path, const HidIdentity &Who) override;
  bool FindIdentity(const HidIdentity &Who, std::string &Path) override;
  /// Every instrument plugged in (SetPresent, AddInstrument, a renumbering) is an arrival.
  bool WatchArrivals(std::uint16_t, std::uint16_t) override { return true; }
  std::uint64_t Arrivals() override { return ArrivalCount.load(); }

  /// Handles open now (for tests of open/close balance).
  int OpenHandles() const;

private:
  static constexpr int kMouse = -2;
  static constexpr int kFree = -1;

  struct Slot {
    int Device = kFree;           // instrument index, kMouse, or kFree
    std::uint32_t Generation = 0; // the instrument's plug generation at open
    std::uint64_t OpenSerial = 0; // tells one opening of the slot from the next
    std::uint8_t Queue[kSimHandleQueue][kSimInputReportLength]{};
    int Head = 0;
    int Size = 0;
    std::condition_variable Arrived;
  };

  void ReportProduced(int Cookie, const std::uint8_t *Report, int Length) override;
  void PresenceChanged(int Cookie) override;
  /// Slot of a handle, or nullptr; Mutex must be held.
  Slot *SlotOf(HidHandle Handle);
  /// The instrument behind a handle while it is alive and the handle is not dead; Mutex held.
  std::shared_ptr<VirtualRW8> LiveInstrument(const Slot &HandleSlot) const;
  /// Node number of a path "sim:<n>", or -1.
  static int ParsePath(const std::string &Path);
  /// Instrument index on a path, or -1; Mutex must be held.
  int InstrumentOn(const std::string &Path) const;
  /// A node number no instrument has; Mutex must be held.
  int FreshNode() const;

  mutable std::mutex Mutex; //!< Protects Instruments, Handles and every slot's queue.
  std::vector<std::shared_ptr<VirtualRW8>> Instruments;
  std::vector<int> Nodes;           // per instrument: the number of its path
  std::vector<std::string> Serials; // per instrument: its serial number, kept for comparing
  std::vector<int> Opens;           // per instrument: times opened
  std::atomic<bool> KeepOpen{true};
  std::atomic<std::uint64_t> ArrivalCount{0};
  std::array<Slot, kSimMaxHandles> Handles;
  std::uint64_t OpenCount = 0;
};

} // namespace zol
