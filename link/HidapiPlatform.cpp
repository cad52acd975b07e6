#include "link/HidapiPlatform.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zol {

namespace {

thread_local std::string OpenErrorText;

/// hidapi gives wchar_t text, UTF-32 on Linux.
std::string WideToUtf8(const wchar_t *Text) {
  static_assert(sizeof(wchar_t) == 4, "hidapi's text is UTF-32 where this platform serves");
  std::string Out;
  if (!Text)
    return Out;
  for (std::size_t i = 0; Text[i] != 0; ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(Text[i]);
    if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
      c = 0xFFFD;
    if (c < 0x80) {
      Out += static_cast<char>(c);
    } else if (c < 0x800) {
      Out += static_cast<char>(0xC0 | (c >> 6));
      Out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      Out += static_cast<char>(0xE0 | (c >> 12));
      Out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      Out += static_cast<char>(0xF0 | (c >> 18));
      Out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      Out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return Out;
}

constexpr std::size_t kStringUnits = 257;
/// Reports read away from a lingering handle before it is reused: hidraw queues at most 64.
constexpr int kMaxStaleReports = 128;

/// Device number of a node, 0 when it does not exist (any more).
std::uint64_t NodeNumber(const std::string &Path) {
  struct stat St {};
  if (stat(Path.c_str(), &St) != 0 || !S_ISCHR(St.st_mode))
    return 0;
  return static_cast<std::uint64_t>(St.st_rdev);
}

} // namespace

HidapiPlatform::HidapiPlatform() {
  // hidapi converts the identity strings with the C library's multibyte functions, which give
  // nothing in the "C" locale.
  const char *Current = std::setlocale(LC_CTYPE, nullptr);
  if (Current && std::strcmp(Current, "C") == 0) {
    if (!std::setlocale(LC_CTYPE, ""))
      std::setlocale(LC_CTYPE, "C.UTF-8");
  }
  hid_init();
}

HidapiPlatform::~HidapiPlatform() {
  {
    std::lock_guard Lock(SlotsMutex);
    for (Slot &HandleSlot : Slots)
      if (HandleSlot.Device) {
        hid_close(HandleSlot.Device);
        HandleSlot.Device = nullptr;
        HandleSlot.Lingering = false;
      }
  }
  hid_exit();
}

void HidapiPlatform::CloseLingering(bool All) {
  const auto Now = std::chrono::steady_clock::now();
  hid_device *Expired[kMaxHandles];
  int Count = 0;
  {
    std::lock_guard Lock(SlotsMutex);
    for (Slot &HandleSlot : Slots)
      if (HandleSlot.Device && HandleSlot.Lingering &&
          (All || Now - HandleSlot.ClosedAt >= kLinger)) {
        Expired[Count++] = HandleSlot.Device;
        HandleSlot.Device = nullptr;
        HandleSlot.Lingering = false;
      }
  }
  for (int i = 0; i < Count; ++i)
    hid_close(Expired[i]);
}

HidHandle HidapiPlatform::TakeLingering(const std::string &Path) {
  int Found = -1;
  std::uint64_t Node = 0;
  {
    std::lock_guard Lock(SlotsMutex);
    for (int i = 0; i < kMaxHandles && Found < 0; ++i)
      if (Slots[i].Device && Slots[i].Lingering && !Slots[i].Gone && Slots[i].Path == Path) {
        Found = i;
        Node = Slots[i].Node;
        Slots[i].Lingering = false; // ours now: nobody else takes or expires it
      }
  }
  if (Found < 0)
    return kInvalidHidHandle;
  hid_device *Device = Slots[Found].Device;
  if (Node == 0 || NodeNumber(Path) != Node) {
    // The device has left (or its node went to another one) since: not a handle on this path.
    {
      std::lock_guard Lock(SlotsMutex);
      Slots[Found].Device = nullptr;
    }
    hid_close(Device);
    return kInvalidHidHandle;
  }
  // What arrived while nobody owned the handle is old; it is read away at the first read (see
  // Read), so that an owner that only asks for the ids or a string does not pay for it.
  return Found;
}

bool HidapiPlatform::ListableUevent(std::string_view Uevent) {
  // HID_ID=BUS:VENDOR:PRODUCT, each hexadecimal; HID_NAME and HID_UNIQ (possibly empty) beside.
  bool Name = false, Uniq = false;
  long Bus = -1;
  while (!Uevent.empty()) {
    const auto End = Uevent.find('\n');
    const std::string_view Line = Uevent.substr(0, End);
    Uevent = End == std::string_view::npos ? std::string_view() : Uevent.substr(End + 1);
    if (Line.rfind("HID_NAME=", 0) == 0)
      Name = true;
    else if (Line.rfind("HID_UNIQ=", 0) == 0)
      Uniq = true;
    else if (Line.rfind("HID_ID=", 0) == 0) {
      const std::string Id(Line.substr(7));
      char *Rest = nullptr;
      Bus = std::strtol(Id.c_str(), &Rest, 16);
      if (Rest == Id.c_str() || *Rest != ':')
        Bus = -1;
    }
  }
  // The buses hidapi serves: USB, Bluetooth, I2C, SPI.
  const bool Served = Bus == 0x03 || Bus == 0x05 || Bus == 0x18 || Bus == 0x1C;
  return Served && Name && Uniq;
}

std::vector<std::string> HidapiPlatform::ListInterfaces(bool) {
  // hidraw lists only present devices; registered but absent ones cannot be opened anyway.
  CloseLingering(false);
  // The kernel's own list of hidraw nodes, the nodes hidapi would list, in udev's order (by
  // place on the buses). Read directly it spares the udev records of every device (strings,
  // parents), about 15 ms a scan under emulation, on the path of every selection.
  if (DIR *Dir = ::opendir("/sys/class/hidraw")) {
    std::vector<std::pair<std::string, std::string>> Nodes; // place in sysfs, node
    while (const dirent *Entry = ::readdir(Dir)) {
      const std::string Name = Entry->d_name;
      if (Name.rfind("hidraw", 0) != 0)
        continue;
      const std::string Link = "/sys/class/hidraw/" + Name;
      // Every entry links into /sys/devices: the link itself gives the place, in one call
      // rather than a walk over each component of the path.
      char Place[PATH_MAX];
      const ssize_t Length = ::readlink(Link.c_str(), Place, sizeof Place - 1);
      if (Length <= 0)
        continue;
      char Uevent[4096];
      const int Fd = ::open((Link + "/device/uevent").c_str(), O_RDONLY | O_CLOEXEC);
      if (Fd < 0)
        continue;
      const ssize_t Size = ::read(Fd, Uevent, sizeof Uevent);
      ::close(Fd);
      if (Size > 0 && ListableUevent(std::string_view(Uevent, static_cast<std::size_t>(Size))))
        Nodes.emplace_back(std::string(Place, static_cast<std::size_t>(Length)), "/dev/" + Name);
    }
    ::closedir(Dir);
    std::sort(Nodes.begin(), Nodes.end());
    std::vector<std::string> Paths;
    Paths.reserve(Nodes.size());
    for (auto &Node : Nodes)
      Paths.push_back(std::move(Node.second));
    return Paths;
  }
  std::vector<std::string> Paths;
  std::set<std::string> Seen;
  std::lock_guard Enumerating(EnumerateMutex);
  hid_device_info *List = hid_enumerate(0, 0);
  for (hid_device_info *Info = List; Info; Info = Info->next) {
    // One entry per top-level collection: the same node can come several times.
    if (Info->path && Seen.insert(Info->path).second)
      Paths.emplace_back(Info->path);
  }
  hid_free_enumeration(List);
  return Paths;
}

HidapiPlatform::Slot *HidapiPlatform::SlotOf(HidHandle Handle) {
  if (Handle < 0 || Handle >= kMaxHandles)
    return nullptr;
  Slot *HandleSlot = &Slots[Handle];
  return (HandleSlot->Device && !HandleSlot->Lingering) ? HandleSlot : nullptr;
}

std::string HidapiPlatform::DescriptorFileOf(const std::string &Path) {
  const auto Slash = Path.find_last_of('/');
  const std::string Node = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
  return "/sys/class/hidraw/" + Node + "/device/report_descriptor";
}

HidapiPlatform::DescriptorFacts HidapiPlatform::ReadFacts(const std::string &Path) {
  DescriptorFacts Facts;
  // A report descriptor holds at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE); one read more tells
  // a longer file.
  constexpr std::size_t kMax = 4096;
  std::uint8_t Bytes[kMax + 1];
  const int Fd = ::open(DescriptorFileOf(Path).c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0)
    return Facts;
  std::size_t Size = 0;
  while (Size <= kMax) {
    const ssize_t n = ::read(Fd, Bytes + Size, kMax + 1 - Size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    Size += static_cast<std::size_t>(n);
  }
  ::close(Fd);
  if (Size > 0 && Size <= kMax)
    Facts.Known = ParseReportDescriptor(Bytes, Size, Facts.Info);
  return Facts;
}

HidHandle HidapiPlatform::Open(const std::string &Path) {
  CloseLingering(false);
  if (const HidHandle Kept = TakeLingering(Path); Kept != kInvalidHidHandle) {
    OpenErrorText.clear();
    return Kept;
  }
  hid_device *Device = nullptr;
  int Code = 0;
  {
    std::lock_guard Opening(EnumerateMutex);
    errno = 0;
    Device = hid_open_path(Path.c_str());
    Code = errno;
  }
  if (!Device) {
    OpenErrorText = Code ? std::strerror(Code) : "the device could not be opened";
    return kInvalidHidHandle;
  }
  // Read once per open, while the handle holds the node: the device behind it cannot change.
  const DescriptorFacts Facts = ReadFacts(Path);
  const std::uint64_t Node = NodeNumber(Path);
  std::lock_guard Lock(SlotsMutex);
  for (int i = 0; i < kMaxHandles; ++i) {
    Slot &HandleSlot = Slots[i];
    if (!HandleSlot.Device) {
      HandleSlot.Device = Device;
      HandleSlot.Lingering = false;
      HandleSlot.UsesReportIds = Facts.Known && Facts.Info.UsesReportIds;
      HandleSlot.Facts = Facts;
      HandleSlot.Gone = false;
      HandleSlot.Stale = false;
      HandleSlot.Node = Node;
      HandleSlot.Path = Path;
      HandleSlot.HaveStrings = false;
      OpenErrorText.clear();
      return i;
    }
  }
  hid_close(Device);
  CloseLingering(true); // the next open finds room
  OpenErrorText = "too many open HID handles";
  return kInvalidHidHandle;
}

std::string HidapiPlatform::LastOpenError() const {
  return OpenErrorText;
}

void HidapiPlatform::Close(HidHandle Handle) {
  hid_device *Device = nullptr;
  {
    std::lock_guard Lock(SlotsMutex);
    if (Slot *HandleSlot = SlotOf(Handle)) {
      if (HandleSlot->Gone) {
        Device = HandleSlot->Device;
        HandleSlot->Device = nullptr;
      } else {
        HandleSlot->Lingering = true;
        HandleSlot->Stale = true;
        HandleSlot->ClosedAt = std::chrono::steady_clock::now();
      }
    }
  }
  if (Device)
    hid_close(Device);
  CloseLingering(false);
}

hid_device_ *HidapiPlatform::DeviceOf(HidHandle Handle, bool *UsesReportIds, bool *Stale) {
  std::lock_guard Lock(SlotsMutex);
  Slot *HandleSlot = SlotOf(Handle);
  if (!HandleSlot)
    return nullptr;
  if (UsesReportIds)
    *UsesReportIds = HandleSlot->UsesReportIds;
  if (Stale) {
    *Stale = HandleSlot->Stale;
    HandleSlot->Stale = false;
  }
  return HandleSlot->Device;
}

bool HidapiPlatform::GetAttributes(HidHandle Handle, HidAttributes &Attributes) {
  std::string Path;
  hid_device *Device = nullptr;
  {
    std::lock_guard Lock(SlotsMutex);
    Slot *HandleSlot = SlotOf(Handle);
    if (!HandleSlot)
      return false;
    Path = HandleSlot->Path;
    Device = HandleSlot->Device;
  }
  // The handle's own record (one udev look-up) rather than a walk over every device.
  if (const hid_device_info *Info = hid_get_device_info(Device)) {
    Attributes.VendorID = Info->vendor_id;
    Attributes.ProductID = Info->product_id;
    Attributes.VersionNumber = Info->release_number;
    return true;
  }
  return PeekAttributes(Path, Attributes);
}

bool HidapiPlatform::PeekAttributes(const std::string &Path, HidAttributes &Attributes) {
  // hidapi gives the ids through enumeration only.
  std::lock_guard Enumerating(EnumerateMutex);
  hid_device_info *Info = hid_enumerate(0, 0);
  bool Found = false;
  for (hid_device_info *i = Info; i; i = i->next)
    if (i->path && Path == i->path) {
      Attributes.VendorID = i->vendor_id;
      Attributes.ProductID = i->product_id;
      Attributes.VersionNumber = i->release_number;
      Found = true;
      break;
    }
  hid_free_enumeration(Info);
  return Found;
}

namespace {

template <typename Getter> bool QueryString(hid_device *Device, Getter Get, std::string &Text) {
  if (!Device)
    return false;
  wchar_t Buffer[kStringUnits]{};
  if (Get(Device, Buffer, kStringUnits) != 0)
    return false;
  Buffer[kStringUnits - 1] = 0;
  Text = WideToUtf8(Buffer);
  return true;
}

} // namespace

bool HidapiPlatform::IdentityString(HidHandle Handle, int Which, std::string &Text) {
  hid_device *Device = nullptr;
  {
    std::lock_guard Lock(SlotsMutex);
    Slot *HandleSlot = SlotOf(Handle);
    if (!HandleSlot)
      return false;
    if (!HandleSlot->HaveStrings && HandleSlot->Node != 0) {
      // Another handle open on the same node all along holds the same device: its strings,
      // without the udev look-up of a fresh handle (5 to 10 ms under emulation, on the path of
      // every connection, whose handler asks them through a second handle).
      for (const Slot &Other : Slots)
        if (&Other != HandleSlot && Other.Device && Other.HaveStrings && !Other.Gone &&
            Other.Node == HandleSlot->Node && Other.Path == HandleSlot->Path) {
          HandleSlot->HaveStrings = true;
          for (int i = 0; i < 3; ++i) {
            HandleSlot->StringsOk[i] = Other.StringsOk[i];
            HandleSlot->Strings[i] = Other.Strings[i];
          }
          break;
        }
    }
    if (HandleSlot->HaveStrings) {
      if (HandleSlot->StringsOk[Which])
        Text = HandleSlot->Strings[Which];
      return HandleSlot->StringsOk[Which];
    }
    Device = HandleSlot->Device;
  }
  std::string Strings[3];
  const bool Ok[3] = {QueryString(Device, hid_get_manufacturer_string, Strings[0]),
                      QueryString(Device, hid_get_product_string, Strings[1]),
                      QueryString(Device, hid_get_serial_number_string, Strings[2])};
  {
    std::lock_guard Lock(SlotsMutex);
    if (Slot *HandleSlot = SlotOf(Handle);
        HandleSlot && HandleSlot->Device == Device && !HandleSlot->HaveStrings) {
      HandleSlot->HaveStrings = true;
      for (int i = 0; i < 3; ++i) {
        HandleSlot->StringsOk[i] = Ok[i];
        HandleSlot->Strings[i] = Strings[i];
      }
    }
  }
  if (Ok[Which])
    Text = Strings[Which];
  return Ok[Which];
}

bool HidapiPlatform::GetManufacturerString(HidHandle Handle, std::string &Text) {
  return IdentityString(Handle, 0, Text);
}

bool HidapiPlatform::GetProductString(HidHandle Handle, std::string &Text) {
  return IdentityString(Handle, 1, Text);
}

bool HidapiPlatform::GetSerialNumberString(HidHandle Handle, std::string &Text) {
  return IdentityString(Handle, 2, Text);
}

bool HidapiPlatform::GetReportLengths(HidHandle Handle, HidReportLengths &Lengths) {
  std::string Path;
  DescriptorFacts Facts;
  {
    std::lock_guard Lock(SlotsMutex);
    Slot *HandleSlot = SlotOf(Handle);
    if (!HandleSlot)
      return false;
    Path = HandleSlot->Path;
    Facts = HandleSlot->Facts;
  }
  if (!Facts.Known) {
    // Not readable at the open: once more now.
    Facts = ReadFacts(Path);
    if (!Facts.Known)
      return false;
    std::lock_guard Lock(SlotsMutex);
    if (Slot *HandleSlot = SlotOf(Handle)) {
      HandleSlot->Facts = Facts;
      HandleSlot->UsesReportIds = Facts.Info.UsesReportIds;
    }
  }
  Lengths.InputReportByteLength = Facts.Info.InputReportByteLength;
  Lengths.OutputReportByteLength = Facts.Info.OutputReportByteLength;
  return true;
}

int HidapiPlatform::Read(HidHandle Handle, std::uint8_t *Buffer, int Length, int TimeoutMs) {
  bool UsesIds = false, Stale = false;
  hid_device *Device = DeviceOf(Handle, &UsesIds, &Stale);
  if (!Device || Length <= 0)
    return -1;
  // hidraw leaves out the report id byte of unnumbered reports; the channel always expects it.
  const int Offset = UsesIds ? 0 : 1;
  if (Length - Offset <= 0)
    return -1;
  Buffer[0] = 0;
  errno = 0;
  const auto Room = static_cast<std::size_t>(Length - Offset);
  if (Stale) {
    // The first read on a handle taken back: the reports that waited are old, all but the
    // newest, which is at most one report period old and comes at once.
    int Newest = 0;
    for (int i = 0; i < kMaxStaleReports; ++i) {
      const int n = hid_read_timeout(Device, Buffer + Offset, Room, 0);
      if (n <= 0)
        break;
      Newest = n;
    }
    if (Newest > 0)
      return Newest + Offset;
  }
  const int Count = hid_read_timeout(Device, Buffer + Offset, Room, TimeoutMs);
  if (Count < 0) {
    NoteFailure(Handle, Device, errno);
    return -1;
  }
  return Count == 0 ? 0 : Count + Offset;
}

int HidapiPlatform::Write(HidHandle Handle, const std::uint8_t *Report, int Length) {
  hid_device *Device = DeviceOf(Handle);
  if (!Device || Length <= 0)
    return -1;
  errno = 0;
  const int Written = hid_write(Device, Report, static_cast<std::size_t>(Length));
  if (Written < 0)
    NoteFailure(Handle, Device, errno);
  return Written;
}

bool HidapiPlatform::ReportsDeviceGone(int Error, std::wstring_view HidError, bool NodeStillThere) {
  if (!NodeStillThere)
    return true;
  // hidraw answers ENODEV to a write and EIO to a read once its device has left; USB adds
  // ESHUTDOWN while the port goes down. A stall or a protocol error (EPIPE, EPROTO) may pass:
  // the next read tells.
  switch (Error) {
  case ENODEV:
  case ENXIO:
  case ENOENT:
  case EIO:
  case ESHUTDOWN:
    return true;
  default:
    break;
  }
  // A hang-up seen by hidapi's poll sets no errno; its text says it.
  return HidError.find(L"disconnected") != std::wstring_view::npos;
}

void HidapiPlatform::NoteFailure(HidHandle Handle, hid_device *Device, int Error) {
  std::string Path;
  std::uint64_t Node = 0;
  {
    std::lock_guard Lock(SlotsMutex);
    Slot *HandleSlot = SlotOf(Handle);
    if (!HandleSlot || HandleSlot->Device != Device)
      return;
    Path = HandleSlot->Path;
    Node = HandleSlot->Node;
  }
  const std::uint64_t Now = NodeNumber(Path);
  const bool NodeStillThere = Now != 0 && (Node == 0 || Now == Node);
  const wchar_t *Text = hid_error(Device);
  const bool Gone = ReportsDeviceGone(Error, Text ? std::wstring_view(Text) : std::wstring_view(),
                                      NodeStillThere);
  if (!Gone)
    return;
  std::lock_guard Lock(SlotsMutex);
  if (Slot *HandleSlot = SlotOf(Handle); HandleSlot && HandleSlot->Device == Device)
    HandleSlot->Gone = true;
}

bool HidapiPlatform::StillThere(HidHandle Handle) {
  std::lock_guard Lock(SlotsMutex);
  const Slot *HandleSlot = SlotOf(Handle);
  return HandleSlot && !HandleSlot->Gone;
}

HidIdentityMatch HidapiPlatform::MatchIdentity(const std::string &Path, const HidIdentity &Who) {
  // udev's record of the node: read from sysfs, the device is not opened (nor written to).
  CloseLingering(false);
  HidIdentityMatch Match = HidIdentityMatch::Unknown;
  std::lock_guard Enumerating(EnumerateMutex);
  hid_device_info *List = hid_enumerate(0, 0);
  for (hid_device_info *Info = List; Info; Info = Info->next) {
    if (!Info->path || Path != Info->path)
      continue;
    // A device without a serial number matches an instrument without one of the same ids.
    const bool Same = Info->vendor_id == Who.VendorID && Info->product_id == Who.ProductID &&
                      WideToUtf8(Info->serial_number) == Who.SerialNumber;
    Match = Same ? HidIdentityMatch::Same : HidIdentityMatch::Other;
    break;
  }
  hid_free_enumeration(List);
  return Match;
}

bool HidapiPlatform::FindIdentity(const HidIdentity &Who, std::string &Path) {
  if (!Who.Known())
    return false;
  bool Found = false;
  std::lock_guard Enumerating(EnumerateMutex);
  hid_device_info *List = hid_enumerate(Who.VendorID, Who.ProductID);
  for (hid_device_info *Info = List; Info; Info = Info->next) {
    if (Info->path && WideToUtf8(Info->serial_number) == Who.SerialNumber) {
      Path = Info->path;
      Found = true;
      break;
    }
  }
  hid_free_enumeration(List);
  return Found;
}

bool HidapiPlatform::WatchArrivals(std::uint16_t VendorId, std::uint16_t ProductId) {
  if (!ArrivalWatch)
    ArrivalWatch = WatchSystemArrivals(VendorId, ProductId);
  return ArrivalWatch != nullptr;
}

std::uint64_t HidapiPlatform::Arrivals() {
  return ArrivalWatch ? ArrivalWatch->Count() : 0;
}

} // namespace zol
