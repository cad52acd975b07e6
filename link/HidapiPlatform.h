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

  std::vector<std::string> ListInterfaces(bool includeRegistered) override;
  HidHandle Open(const std::string &path) override;
  std::string LastOpenError() const override;
  void Close(HidHandle handle) override;
  bool PeekAttributes(const std::string &path, HidAttributes &attributes) override;
  bool GetAttributes(HidHandle handle, HidAttributes &attributes) override;
  bool GetManufacturerString(HidHandle handle, std::string &text) override;
  bool GetProductString(HidHandle handle, std::string &text) override;
  bool GetSerialNumberString(HidHandle handle, std::string &text) override;
  bool GetReportLengths(HidHandle handle, HidReportLengths &lengths) override;
  int Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) override;
  int Write(HidHandle handle, const std::uint8_t *report, int length) override;
  bool KeepsDevicesOpen() const override { return true; }
  bool StillThere(HidHandle handle) override;
  bool ReusesPaths() const override { return true; }
  HidIdentityMatch MatchIdentity(const std::string &path, const HidIdentity &who) override;
  bool FindIdentity(const HidIdentity &who, std::string &path) override;
  bool WatchArrivals(std::uint16_t vendorId, std::uint16_t productId) override;
  std::uint64_t Arrivals() override;

  /// Whether a failed read or write (-1) means the device has gone: errno after the call,
  /// hidapi's error text for the handle, and whether the node is still the one opened.
  static bool ReportsDeviceGone(int error, std::wstring_view hidError, bool nodeStillThere);

  /// Whether the uevent text of a hidraw node's HID device names a device hidapi lists: one on
  /// USB, Bluetooth, I2C or SPI, with its id, name and serial lines.
  static bool ListableUevent(std::string_view uevent);

  /// The sysfs file that holds the report descriptor of a hidraw path ("/dev/hidraw3").
  static std::string DescriptorFileOf(const std::string &path);

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

  Slot *SlotOf(HidHandle handle);
  /// The hidapi device of an open handle (nullptr when none), and whether it numbers reports.
  /// Stale: whether the handle lingered since its last read (cleared: the caller reads now).
  hid_device_ *DeviceOf(HidHandle handle, bool *usesReportIds = nullptr, bool *stale = nullptr);
  /// The report descriptor behind path now, from sysfs.
  static DescriptorFacts ReadFacts(const std::string &path);
  /// Really closes the handles that have lingered long enough.
  void CloseLingering(bool all);
  /// A lingering handle on path, taken back when its node is still the one it opened; else
  /// kInvalidHidHandle.
  HidHandle TakeLingering(const std::string &path);
  /// One identity string (0 manufacturer, 1 product, 2 serial number) of an open handle.
  bool IdentityString(HidHandle handle, int which, std::string &text);
  /// After a failed read or write on handle: marks it gone when the failure says so.
  void NoteFailure(HidHandle handle, hid_device_ *device, int error);

  mutable std::mutex SlotsMutex; //!< Protects which slots are in use, and what they hold.
  Slot Slots[kMaxHandles];

  /// Serialises the hidapi calls that set its process-wide error text (hid_enumerate,
  /// hid_open_path): two threads clearing it at once would free it twice.
  std::mutex EnumerateMutex;
};

} // namespace zol
