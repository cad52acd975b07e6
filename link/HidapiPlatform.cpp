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
std::string WideToUtf8(const wchar_t *text) {
  static_assert(sizeof(wchar_t) == 4, "hidapi's text is UTF-32 where this platform serves");
  std::string out;
  if (!text)
    return out;
  for (std::size_t i = 0; text[i] != 0; ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(text[i]);
    if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
      c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

constexpr std::size_t kStringUnits = 257;
/// Reports read away from a lingering handle before it is reused: hidraw queues at most 64.
constexpr int kMaxStaleReports = 128;

/// Device number of a node, 0 when it does not exist (any more).
std::uint64_t NodeNumber(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
    return 0;
  return static_cast<std::uint64_t>(st.st_rdev);
}

} // namespace

HidapiPlatform::HidapiPlatform() {
  // hidapi converts the identity strings with the C library's multibyte functions, which give
  // nothing in the "C" locale.
  const char *current = std::setlocale(LC_CTYPE, nullptr);
  if (current && std::strcmp(current, "C") == 0) {
    if (!std::setlocale(LC_CTYPE, ""))
      std::setlocale(LC_CTYPE, "C.UTF-8");
  }
  hid_init();
}

HidapiPlatform::~HidapiPlatform() {
  {
    std::lock_guard lock(SlotsMutex);
    for (Slot &slot : Slots)
      if (slot.Device) {
        hid_close(slot.Device);
        slot.Device = nullptr;
        slot.Lingering = false;
      }
  }
  hid_exit();
}

void HidapiPlatform::CloseLingering(bool all) {
  const auto now = std::chrono::steady_clock::now();
  hid_device *expired[kMaxHandles];
  int count = 0;
  {
    std::lock_guard lock(SlotsMutex);
    for (Slot &slot : Slots)
      if (slot.Device && slot.Lingering && (all || now - slot.ClosedAt >= kLinger)) {
        expired[count++] = slot.Device;
        slot.Device = nullptr;
        slot.Lingering = false;
      }
  }
  for (int i = 0; i < count; ++i)
    hid_close(expired[i]);
}

HidHandle HidapiPlatform::TakeLingering(const std::string &path) {
  int found = -1;
  std::uint64_t node = 0;
  {
    std::lock_guard lock(SlotsMutex);
    for (int i = 0; i < kMaxHandles && found < 0; ++i)
      if (Slots[i].Device && Slots[i].Lingering && !Slots[i].Gone && Slots[i].Path == path) {
        found = i;
        node = Slots[i].Node;
        Slots[i].Lingering = false; // ours now: nobody else takes or expires it
      }
  }
  if (found < 0)
    return kInvalidHidHandle;
  hid_device *device = Slots[found].Device;
  if (node == 0 || NodeNumber(path) != node) {
    // The device has left (or its node went to another one) since: not a handle on this path.
    {
      std::lock_guard lock(SlotsMutex);
      Slots[found].Device = nullptr;
    }
    hid_close(device);
    return kInvalidHidHandle;
  }
  // What arrived while nobody owned the handle is old; it is read away at the first read (see
  // Read), so that an owner that only asks for the ids or a string does not pay for it.
  return found;
}

bool HidapiPlatform::ListableUevent(std::string_view uevent) {
  // HID_ID=BUS:VENDOR:PRODUCT, each hexadecimal; HID_NAME and HID_UNIQ (possibly empty) beside.
  bool name = false, uniq = false;
  long bus = -1;
  while (!uevent.empty()) {
    const auto end = uevent.find('\n');
    const std::string_view line = uevent.substr(0, end);
    uevent = end == std::string_view::npos ? std::string_view() : uevent.substr(end + 1);
    if (line.rfind("HID_NAME=", 0) == 0)
      name = true;
    else if (line.rfind("HID_UNIQ=", 0) == 0)
      uniq = true;
    else if (line.rfind("HID_ID=", 0) == 0) {
      const std::string id(line.substr(7));
      char *rest = nullptr;
      bus = std::strtol(id.c_str(), &rest, 16);
      if (rest == id.c_str() || *rest != ':')
        bus = -1;
    }
  }
  // The buses hidapi serves: USB, Bluetooth, I2C, SPI.
  const bool served = bus == 0x03 || bus == 0x05 || bus == 0x18 || bus == 0x1C;
  return served && name && uniq;
}

std::vector<std::string> HidapiPlatform::ListInterfaces(bool) {
  // hidraw lists only present devices; registered but absent ones cannot be opened anyway.
  CloseLingering(false);
  // The kernel's own list of hidraw nodes, the nodes hidapi would list, in udev's order (by
  // place on the buses). Read directly it spares the udev records of every device (strings,
  // parents), about 15 ms a scan under emulation, on the path of every selection.
  if (DIR *dir = ::opendir("/sys/class/hidraw")) {
    std::vector<std::pair<std::string, std::string>> nodes; // place in sysfs, node
    while (const dirent *entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind("hidraw", 0) != 0)
        continue;
      const std::string link = "/sys/class/hidraw/" + name;
      // Every entry links into /sys/devices: the link itself gives the place, in one call
      // rather than a walk over each component of the path.
      char place[PATH_MAX];
      const ssize_t length = ::readlink(link.c_str(), place, sizeof place - 1);
      if (length <= 0)
        continue;
      char uevent[4096];
      const int fd = ::open((link + "/device/uevent").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0)
        continue;
      const ssize_t size = ::read(fd, uevent, sizeof uevent);
      ::close(fd);
      if (size > 0 && ListableUevent(std::string_view(uevent, static_cast<std::size_t>(size))))
        nodes.emplace_back(std::string(place, static_cast<std::size_t>(length)), "/dev/" + name);
    }
    ::closedir(dir);
    std::sort(nodes.begin(), nodes.end());
    std::vector<std::string> paths;
    paths.reserve(nodes.size());
    for (auto &node : nodes)
      paths.push_back(std::move(node.second));
    return paths;
  }
  std::vector<std::string> paths;
  std::set<std::string> seen;
  std::lock_guard enumerating(EnumerateMutex);
  hid_device_info *list = hid_enumerate(0, 0);
  for (hid_device_info *info = list; info; info = info->next) {
    // One entry per top-level collection: the same node can come several times.
    if (info->path && seen.insert(info->path).second)
      paths.emplace_back(info->path);
  }
  hid_free_enumeration(list);
  return paths;
}

HidapiPlatform::Slot *HidapiPlatform::SlotOf(HidHandle handle) {
  if (handle < 0 || handle >= kMaxHandles)
    return nullptr;
  Slot *slot = &Slots[handle];
  return (slot->Device && !slot->Lingering) ? slot : nullptr;
}

std::string HidapiPlatform::DescriptorFileOf(const std::string &path) {
  const auto slash = path.find_last_of('/');
  const std::string node = slash == std::string::npos ? path : path.substr(slash + 1);
  return "/sys/class/hidraw/" + node + "/device/report_descriptor";
}

HidapiPlatform::DescriptorFacts HidapiPlatform::ReadFacts(const std::string &path) {
  DescriptorFacts facts;
  // A report descriptor holds at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE); one read more tells
  // a longer file.
  constexpr std::size_t kMax = 4096;
  std::uint8_t bytes[kMax + 1];
  const int fd = ::open(DescriptorFileOf(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return facts;
  std::size_t size = 0;
  while (size <= kMax) {
    const ssize_t n = ::read(fd, bytes + size, kMax + 1 - size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (size > 0 && size <= kMax)
    facts.Known = ParseReportDescriptor(bytes, size, facts.Info);
  return facts;
}

HidHandle HidapiPlatform::Open(const std::string &path) {
  CloseLingering(false);
  if (const HidHandle kept = TakeLingering(path); kept != kInvalidHidHandle) {
    OpenErrorText.clear();
    return kept;
  }
  hid_device *device = nullptr;
  int code = 0;
  {
    std::lock_guard opening(EnumerateMutex);
    errno = 0;
    device = hid_open_path(path.c_str());
    code = errno;
  }
  if (!device) {
    OpenErrorText = code ? std::strerror(code) : "the device could not be opened";
    return kInvalidHidHandle;
  }
  // Read once per open, while the handle holds the node: the device behind it cannot change.
  const DescriptorFacts facts = ReadFacts(path);
  const std::uint64_t node = NodeNumber(path);
  std::lock_guard lock(SlotsMutex);
  for (int i = 0; i < kMaxHandles; ++i) {
    Slot &slot = Slots[i];
    if (!slot.Device) {
      slot.Device = device;
      slot.Lingering = false;
      slot.UsesReportIds = facts.Known && facts.Info.UsesReportIds;
      slot.Facts = facts;
      slot.Gone = false;
      slot.Stale = false;
      slot.Node = node;
      slot.Path = path;
      slot.HaveStrings = false;
      OpenErrorText.clear();
      return i;
    }
  }
  hid_close(device);
  CloseLingering(true); // the next open finds room
  OpenErrorText = "too many open HID handles";
  return kInvalidHidHandle;
}

std::string HidapiPlatform::LastOpenError() const {
  return OpenErrorText;
}

void HidapiPlatform::Close(HidHandle handle) {
  hid_device *device = nullptr;
  {
    std::lock_guard lock(SlotsMutex);
    if (Slot *slot = SlotOf(handle)) {
      if (slot->Gone) {
        device = slot->Device;
        slot->Device = nullptr;
      } else {
        slot->Lingering = true;
        slot->Stale = true;
        slot->ClosedAt = std::chrono::steady_clock::now();
      }
    }
  }
  if (device)
    hid_close(device);
  CloseLingering(false);
}

hid_device_ *HidapiPlatform::DeviceOf(HidHandle handle, bool *usesReportIds, bool *stale) {
  std::lock_guard lock(SlotsMutex);
  Slot *slot = SlotOf(handle);
  if (!slot)
    return nullptr;
  if (usesReportIds)
    *usesReportIds = slot->UsesReportIds;
  if (stale) {
    *stale = slot->Stale;
    slot->Stale = false;
  }
  return slot->Device;
}

bool HidapiPlatform::GetAttributes(HidHandle handle, HidAttributes &attributes) {
  std::string path;
  hid_device *device = nullptr;
  {
    std::lock_guard lock(SlotsMutex);
    Slot *slot = SlotOf(handle);
    if (!slot)
      return false;
    path = slot->Path;
    device = slot->Device;
  }
  // The handle's own record (one udev look-up) rather than a walk over every device.
  if (const hid_device_info *info = hid_get_device_info(device)) {
    attributes.VendorID = info->vendor_id;
    attributes.ProductID = info->product_id;
    attributes.VersionNumber = info->release_number;
    return true;
  }
  return PeekAttributes(path, attributes);
}

bool HidapiPlatform::PeekAttributes(const std::string &path, HidAttributes &attributes) {
  // hidapi gives the ids through enumeration only.
  std::lock_guard enumerating(EnumerateMutex);
  hid_device_info *info = hid_enumerate(0, 0);
  bool found = false;
  for (hid_device_info *i = info; i; i = i->next)
    if (i->path && path == i->path) {
      attributes.VendorID = i->vendor_id;
      attributes.ProductID = i->product_id;
      attributes.VersionNumber = i->release_number;
      found = true;
      break;
    }
  hid_free_enumeration(info);
  return found;
}

namespace {

template <typename Getter> bool QueryString(hid_device *device, Getter getter, std::string &text) {
  if (!device)
    return false;
  wchar_t buffer[kStringUnits]{};
  if (getter(device, buffer, kStringUnits) != 0)
    return false;
  buffer[kStringUnits - 1] = 0;
  text = WideToUtf8(buffer);
  return true;
}

} // namespace

bool HidapiPlatform::IdentityString(HidHandle handle, int which, std::string &text) {
  hid_device *device = nullptr;
  {
    std::lock_guard lock(SlotsMutex);
    Slot *slot = SlotOf(handle);
    if (!slot)
      return false;
    if (!slot->HaveStrings && slot->Node != 0) {
      // Another handle open on the same node all along holds the same device: its strings,
      // without the udev look-up of a fresh handle (5 to 10 ms under emulation, on the path of
      // every connection, whose handler asks them through a second handle).
      for (const Slot &other : Slots)
        if (&other != slot && other.Device && other.HaveStrings && !other.Gone &&
            other.Node == slot->Node && other.Path == slot->Path) {
          slot->HaveStrings = true;
          for (int i = 0; i < 3; ++i) {
            slot->StringsOk[i] = other.StringsOk[i];
            slot->Strings[i] = other.Strings[i];
          }
          break;
        }
    }
    if (slot->HaveStrings) {
      if (slot->StringsOk[which])
        text = slot->Strings[which];
      return slot->StringsOk[which];
    }
    device = slot->Device;
  }
  std::string strings[3];
  const bool ok[3] = {QueryString(device, hid_get_manufacturer_string, strings[0]),
                      QueryString(device, hid_get_product_string, strings[1]),
                      QueryString(device, hid_get_serial_number_string, strings[2])};
  {
    std::lock_guard lock(SlotsMutex);
    if (Slot *slot = SlotOf(handle); slot && slot->Device == device && !slot->HaveStrings) {
      slot->HaveStrings = true;
      for (int i = 0; i < 3; ++i) {
        slot->StringsOk[i] = ok[i];
        slot->Strings[i] = strings[i];
      }
    }
  }
  if (ok[which])
    text = strings[which];
  return ok[which];
}

bool HidapiPlatform::GetManufacturerString(HidHandle handle, std::string &text) {
  return IdentityString(handle, 0, text);
}

bool HidapiPlatform::GetProductString(HidHandle handle, std::string &text) {
  return IdentityString(handle, 1, text);
}

bool HidapiPlatform::GetSerialNumberString(HidHandle handle, std::string &text) {
  return IdentityString(handle, 2, text);
}

bool HidapiPlatform::GetReportLengths(HidHandle handle, HidReportLengths &lengths) {
  std::string path;
  DescriptorFacts facts;
  {
    std::lock_guard lock(SlotsMutex);
    Slot *slot = SlotOf(handle);
    if (!slot)
      return false;
    path = slot->Path;
    facts = slot->Facts;
  }
  if (!facts.Known) {
    // Not readable at the open: once more now.
    facts = ReadFacts(path);
    if (!facts.Known)
      return false;
    std::lock_guard lock(SlotsMutex);
    if (Slot *slot = SlotOf(handle)) {
      slot->Facts = facts;
      slot->UsesReportIds = facts.Info.UsesReportIds;
    }
  }
  lengths.InputReportByteLength = facts.Info.InputReportByteLength;
  lengths.OutputReportByteLength = facts.Info.OutputReportByteLength;
  return true;
}

int HidapiPlatform::Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) {
  bool usesIds = false, stale = false;
  hid_device *device = DeviceOf(handle, &usesIds, &stale);
  if (!device || length <= 0)
    return -1;
  // hidraw leaves out the report id byte of unnumbered reports; the channel always expects it.
  const int offset = usesIds ? 0 : 1;
  if (length - offset <= 0)
    return -1;
  buffer[0] = 0;
  errno = 0;
  const auto room = static_cast<std::size_t>(length - offset);
  if (stale) {
    // The first read on a handle taken back: the reports that waited are old, all but the
    // newest, which is at most one report period old and comes at once.
    int newest = 0;
    for (int i = 0; i < kMaxStaleReports; ++i) {
      const int n = hid_read_timeout(device, buffer + offset, room, 0);
      if (n <= 0)
        break;
      newest = n;
    }
    if (newest > 0)
      return newest + offset;
  }
  const int count = hid_read_timeout(device, buffer + offset, room, timeoutMs);
  if (count < 0) {
    NoteFailure(handle, device, errno);
    return -1;
  }
  return count == 0 ? 0 : count + offset;
}

int HidapiPlatform::Write(HidHandle handle, const std::uint8_t *report, int length) {
  hid_device *device = DeviceOf(handle);
  if (!device || length <= 0)
    return -1;
  errno = 0;
  const int written = hid_write(device, report, static_cast<std::size_t>(length));
  if (written < 0)
    NoteFailure(handle, device, errno);
  return written;
}

bool HidapiPlatform::ReportsDeviceGone(int error, std::wstring_view hidError, bool nodeStillThere) {
  if (!nodeStillThere)
    return true;
  // hidraw answers ENODEV to a write and EIO to a read once its device has left; USB adds
  // ESHUTDOWN while the port goes down. A stall or a protocol error (EPIPE, EPROTO) may pass:
  // the next read tells.
  switch (error) {
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
  return hidError.find(L"disconnected") != std::wstring_view::npos;
}

void HidapiPlatform::NoteFailure(HidHandle handle, hid_device *device, int error) {
  std::string path;
  std::uint64_t node = 0;
  {
    std::lock_guard lock(SlotsMutex);
    Slot *slot = SlotOf(handle);
    if (!slot || slot->Device != device)
      return;
    path = slot->Path;
    node = slot->Node;
  }
  const std::uint64_t now = NodeNumber(path);
  const bool nodeStillThere = now != 0 && (node == 0 || now == node);
  const wchar_t *text = hid_error(device);
  const bool gone = ReportsDeviceGone(error, text ? std::wstring_view(text) : std::wstring_view(),
                                      nodeStillThere);
  if (!gone)
    return;
  std::lock_guard lock(SlotsMutex);
  if (Slot *slot = SlotOf(handle); slot && slot->Device == device)
    slot->Gone = true;
}

bool HidapiPlatform::StillThere(HidHandle handle) {
  std::lock_guard lock(SlotsMutex);
  const Slot *slot = SlotOf(handle);
  return slot && !slot->Gone;
}

HidIdentityMatch HidapiPlatform::MatchIdentity(const std::string &path, const HidIdentity &who) {
  // udev's record of the node: read from sysfs, the device is not opened (nor written to).
  CloseLingering(false);
  HidIdentityMatch match = HidIdentityMatch::Unknown;
  std::lock_guard enumerating(EnumerateMutex);
  hid_device_info *list = hid_enumerate(0, 0);
  for (hid_device_info *info = list; info; info = info->next) {
    if (!info->path || path != info->path)
      continue;
    // A device without a serial number matches an instrument without one of the same ids.
    const bool same = info->vendor_id == who.VendorID && info->product_id == who.ProductID &&
                      WideToUtf8(info->serial_number) == who.SerialNumber;
    match = same ? HidIdentityMatch::Same : HidIdentityMatch::Other;
    break;
  }
  hid_free_enumeration(list);
  return match;
}

bool HidapiPlatform::FindIdentity(const HidIdentity &who, std::string &path) {
  if (!who.Known())
    return false;
  bool found = false;
  std::lock_guard enumerating(EnumerateMutex);
  hid_device_info *list = hid_enumerate(who.VendorID, who.ProductID);
  for (hid_device_info *info = list; info; info = info->next) {
    if (info->path && WideToUtf8(info->serial_number) == who.SerialNumber) {
      path = info->path;
      found = true;
      break;
    }
  }
  hid_free_enumeration(list);
  return found;
}

bool HidapiPlatform::WatchArrivals(std::uint16_t vendorId, std::uint16_t productId) {
  if (!ArrivalWatch)
    ArrivalWatch = WatchSystemArrivals(vendorId, productId);
  return ArrivalWatch != nullptr;
}

std::uint64_t HidapiPlatform::Arrivals() {
  return ArrivalWatch ? ArrivalWatch->Count() : 0;
}

} // namespace zol
