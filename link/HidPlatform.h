#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zol {

/// A handle on one opened HID interface; kInvalidHidHandle when the open failed.
using HidHandle = std::intptr_t;
inline constexpr HidHandle kInvalidHidHandle = -1;

/// Vendor id, product id and version number of an opened HID interface.
struct HidAttributes {
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
  std::uint16_t VersionNumber = 0;
};

/// Who an instrument is, as far as the system can tell without asking it anything: its ids and
/// its serial number (empty when it gives none). The ids are always checked; without a serial
/// number one instrument cannot be told from another of its kind, and it is not followed to
/// another path.
struct HidIdentity {
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
  std::string SerialNumber;
  /// The ids were read: a path holding other ids holds another device.
  bool HasIds() const { return VendorID != 0 || ProductID != 0; }
  /// A serial number was read too: the instrument can be told from others of its kind.
  bool Known() const { return HasIds() && !SerialNumber.empty(); }
};

/// Whether a listed path holds a given instrument.
enum class HidIdentityMatch : std::uint8_t {
  Same,    ///< its ids are the instrument's, and its serial number (none when it has none)
  Other,   ///< listed, but another device
  Unknown, ///< not listed: gone, or not yet known to the system
};

/// Report lengths of an opened HID interface, report id byte included; 0 means no such report.
struct HidReportLengths {
  int InputReportByteLength = 0;
  int OutputReportByteLength = 0;
};

/// What the device link needs of the operating system's HID services.
///
/// Implementations must allow calls from several threads at once on different handles
/// (the worker reads and writes its handle while the user-interface thread enumerates or asks
/// for identity strings on a second handle to the same device). Nothing here throws.
class HidPlatform {
public:
  virtual ~HidPlatform() = default;

  /// Paths of the HID interfaces the system knows, in the system's order. With
  /// includeRegistered, interfaces registered but not present are listed too.
  virtual std::vector<std::string> ListInterfaces(bool IncludeRegistered) = 0;

  /// Opens a path for reading and writing without exclusive use.
  /// Returns kInvalidHidHandle when it cannot be opened; LastOpenError() then says why.
  virtual HidHandle Open(const std::string &Path) = 0;

  /// Why the last failed Open on the calling thread failed, in plain words
  /// ("permission denied", "no such device"); empty when nothing failed.
  virtual std::string LastOpenError() const = 0;

  virtual void Close(HidHandle Handle) = 0;

  /// The ids of a listed path without opening it, where the system tells them (so that a
  /// device nobody may open can still be recognised); false when it does not.
  virtual bool PeekAttributes(const std::string &Path, HidAttributes &Attributes) {
    (void)Path;
    (void)Attributes;
    return false;
  }

  virtual bool GetAttributes(HidHandle Handle, HidAttributes &Attributes) = 0;

  /// Identity strings as UTF-8; false when the device gives none or the call fails.
  virtual bool GetManufacturerString(HidHandle Handle, std::string &Text) = 0;
  virtual bool GetProductString(HidHandle Handle, std::string &Text) = 0;
  virtual bool GetSerialNumberString(HidHandle Handle, std::string &Text) = 0;

  /// The input and output report lengths the device declares; false when they cannot be read.
  virtual bool GetReportLengths(HidHandle Handle, HidReportLengths &Lengths) = 0;

  /// Reads one input report (report id byte first) into buffer. Waits at most timeoutMs.
  /// Returns the byte count, 0 on time-out, -1 on error or when the device has gone.
  virtual int Read(HidHandle Handle, std::uint8_t *Buffer, int Length, int TimeoutMs) = 0;

  /// Writes one output report (report id byte first). Returns the bytes written or -1.
  virtual int Write(HidHandle Handle, const std::uint8_t *Report, int Length) = 0;

  // ---- For the channel's worker, which opens its device at the start of every turn ----------

  /// True where opening a path is costly enough that the worker keeps its device open between
  /// turns while it answers (Linux: opening a hidraw node nobody holds blocks about 60 ms while
  /// usbhid restarts its polling). False where an open is cheap (Windows): the worker opens and
  /// closes its path on every turn.
  virtual bool KeepsDevicesOpen() const { return false; }

  /// False once a read or write on handle has reported the device gone (unplugged, node removed);
  /// a kept handle is then closed and the next open decides presence. Makes no system call.
  virtual bool StillThere(HidHandle Handle) {
    (void)Handle;
    return true;
  }

  /// True where the system hands a path out again to another device once its device has gone
  /// (Linux: /dev/hidrawN). The worker then checks who is behind its path before opening it, and
  /// follows its instrument to another path. False where a path names one device instance for
  /// good (Windows).
  virtual bool ReusesPaths() const { return false; }

  /// Whether path holds the instrument who, told without opening anything. Allocates nothing
  /// when the answer is Unknown or the system keeps the facts at hand.
  virtual HidIdentityMatch MatchIdentity(const std::string &Path, const HidIdentity &Who) {
    (void)Path;
    (void)Who;
    return HidIdentityMatch::Unknown;
  }

  /// The path that holds the instrument who now, found without opening anything; false when
  /// it is not listed, when who has no serial number, or when the system cannot tell.
  virtual bool FindIdentity(const HidIdentity &Who, std::string &Path) {
    (void)Who;
    (void)Path;
    return false;
  }

  // ---- Arrivals ---------------------------------------------------------------------------

  /// Starts taking the system's news of HID devices with these ids being added, where the system
  /// gives it (Linux: udev; Windows: the configuration manager's notifications); false where it
  /// does not, and the caller then scans from time to time. Once, before Arrivals.
  virtual bool WatchArrivals(std::uint16_t VendorId, std::uint16_t ProductId) {
    (void)VendorId;
    (void)ProductId;
    return false;
  }

  /// How many such devices were added since WatchArrivals; takes the system's news without
  /// waiting. From one thread at a time.
  virtual std::uint64_t Arrivals() { return 0; }
};

} // namespace zol
