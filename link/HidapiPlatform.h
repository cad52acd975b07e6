#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "link/Arrivals.h"
#include "link/HidPlatform.h"
#include "link/ReportDescriptor.h"

struct hid_device_;

namespace zol {

/// HID services over hidapi (hidraw backend on Linux). Report lengths come from the report
/// descriptor the kernel publishes in sysfs, parsed by our own parser.
///
/// Opening a hidraw node that nobody holds costs about 60 ms (usbhid restarts its polling), so
/// the worker keeps its device open between turns; a read or write that reports the device gone
/// marks its handle, and the worker closes it. A closed handle lingers for kLinger before it is
/// really closed, so that the open that follows within that time (discovery, then selection,
/// then the worker) costs no restart of the polling. Nodes are numbers the kernel hands out again,
/// so an instrument is told by its ids and serial number, as udev lists them, without opening it.
///
/// Create one before any thread uses HID (it initialises hidapi) and destroy it after the last
/// channel has been closed.
class HidapiPlatform final : public HidPlatform {
public:
  HidapiPlatform();
  ~HidapiPlatform() override;
  HidapiPlatform(const HidapiPlatform &) = delete;
  HidapiPlatform &operator=(const HidapiPlatform &) = delete;

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
  bool KeepsDevicesOpen() const override { return true; }
  bool StillThere(HidHandle Handle) override;
  bool ReusesPaths() const override { return true; }
  HidIdentityMatch MatchIdentity(const std::string &Path, const HidIdentity &Who) override;
  bool FindIdentity(const HidIdentity &Who, std::string &Path) override;
  bool WatchArrivals(std::uint16_t VendorId, std::uint16_t ProductId) override;
  std::uint64_t Arrivals() override;

  /// Whether a failed read or write (-1) means the device has gone: errno after the call,
  /// hidapi's error text for the handle, and whether the node is still the one opened.
  static bool ReportsDeviceGone(int Error, std::wstring_view HidError, bool NodeStillThere);

  /// Whether the uevent text of a hidraw node's HID device names a device hidapi lists: one on
  /// USB, Bluetooth, I2C or SPI, with its id, name and serial lines.
  static bool ListableUevent(std::string_view Uevent);

  /// The sysfs file that holds the report descriptor of a hidraw path ("/dev/hidraw3").
  static std::string DescriptorFileOf(const std::string &Path);

private:
  std::unique_ptr<TArrivalWatch> ArrivalWatch;
  static constexpr int kMaxHandles = 64;
  /// How long a closed handle stays open for a reopen of its path.
  static constexpr std::chrono::milliseconds kLinger{1000};
  struct DescriptorFacts {
    bool Known = false;
    TReportDescriptorInfo Info;
  };
  struct Slot {
    hid_device_ *Device = nullptr;
    bool Lingering = false; // closed by its owner, kept for a reopen until ClosedAt + kLinger
    std::chrono::steady_clock::time_point ClosedAt;
    bool UsesReportIds = false;
    bool Gone = false;      // a read or write reported the device gone
    bool Stale = false;     // lingered since its last read: what waits in it is old
    std::uint64_t Node = 0; // device number of the node at the open; 0 when unknown
    std::string Path;
    DescriptorFacts Facts; // the report descriptor of the device, read once at the open
    // The identity strings, once read through this handle or taken from another handle open
    // on the same node (the kernel hands a node out again only once every handle has closed).
    bool HaveStrings = false;
    bool StringsOk[3] = {};
    std::string Strings[3]; // manufacturer, product, serial number
  };

  Slot *SlotOf(HidHandle Handle);
  /// The hidapi device of an open handle (nullptr when none), and whether it numbers reports.
  /// Stale: whether the handle lingered since its last read (cleared: the caller reads now).
  hid_device_ *DeviceOf(HidHandle Handle, bool *UsesReportIds = nullptr, bool *Stale = nullptr);
  /// The report descriptor behind path now, from sysfs.
  static DescriptorFacts ReadFacts(const std::string &Path);
  /// Really closes the handles that have lingered long enough.
  void CloseLingering(bool All);
  /// A lingering handle on path, taken back when its node is still the one it opened; else
  /// kInvalidHidHandle.
  HidHandle TakeLingering(const std::string &Path);
  /// One identity string (0 manufacturer, 1 product, 2 serial number) of an open handle.
  bool IdentityString(HidHandle Handle, int Which, std::string &Text);
  /// After a failed read or write on handle: marks it gone when the failure says so.
  void NoteFailure(HidHandle Handle, hid_device_ *Device, int Error);

  mutable std::mutex SlotsMutex; //!< Protects which slots are in use, and what they hold.
  Slot Slots[kMaxHandles];

  /// Serialises the hidapi calls that set its process-wide error text (hid_enumerate,
  /// hid_open_path): two threads clearing it at once would free it twice.
  std::mutex EnumerateMutex;
};

} // namespace zol
