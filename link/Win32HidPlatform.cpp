#include "link/Win32HidPlatform.h"

#include <windows.h>
// windows.h first: the setup and HID headers rely on its types. mingw-w64's HID headers do not
// declare their functions extern "C" themselves.
extern "C" {
// hidsdi.h declares the types hidpi.h uses: keep this order.
// clang-format off
#include <hidsdi.h>
#include <hidpi.h>
// clang-format on
}
#include <setupapi.h>

#include <string>
#include <vector>

namespace zol {

namespace {

thread_local std::string OpenErrorText;

HANDLE ToHandle(HidHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::string Utf16ToUtf8(const wchar_t *text) {
  if (!text || !*text)
    return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1)
    return {};
  std::string out(static_cast<std::size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

std::string ErrorText(DWORD code) {
  char buffer[256]{};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
    text.pop_back();
  return text;
}

// 257 UTF-16 code units, the longest identity string a device can give.
constexpr ULONG kStringBytes = 514;

template <typename Getter> bool QueryString(HidHandle handle, Getter getter, std::string &text) {
  wchar_t buffer[kStringBytes / 2 + 1]{};
  if (!getter(ToHandle(handle), buffer, kStringBytes))
    return false;
  text = Utf16ToUtf8(buffer);
  return true;
}

} // namespace

Win32HidPlatform::Win32HidPlatform() = default;
Win32HidPlatform::~Win32HidPlatform() = default;

std::vector<std::string> Win32HidPlatform::ListInterfaces(bool includeRegistered) {
  std::vector<std::string> paths;
  GUID hidGuid;
  HidD_GetHidGuid(&hidGuid);
  const DWORD flags =
      includeRegistered ? DIGCF_DEVICEINTERFACE : (DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  HDEVINFO set = SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE)
    return paths;
  for (DWORD member = 0;; ++member) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, member, &data))
      break;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
      continue;
    std::vector<std::uint8_t> buffer(required);
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr))
      continue;
    paths.emplace_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

HidHandle Win32HidPlatform::Open(const std::string &path) {
  // Overlapped, so that a read can wait with a time-out.
  HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    OpenErrorText = ErrorText(GetLastError());
    return kInvalidHidHandle;
  }
  OpenErrorText.clear();
  return reinterpret_cast<HidHandle>(handle);
}

std::string Win32HidPlatform::LastOpenError() const {
  return OpenErrorText;
}

void Win32HidPlatform::Close(HidHandle handle) {
  if (handle != kInvalidHidHandle)
    CloseHandle(ToHandle(handle));
}

bool Win32HidPlatform::GetAttributes(HidHandle handle, HidAttributes &attributes) {
  HIDD_ATTRIBUTES a{};
  a.Size = sizeof a;
  if (!HidD_GetAttributes(ToHandle(handle), &a))
    return false;
  attributes.VendorID = a.VendorID;
  attributes.ProductID = a.ProductID;
  attributes.VersionNumber = a.VersionNumber;
  return true;
}

bool Win32HidPlatform::GetManufacturerString(HidHandle handle, std::string &text) {
  return QueryString(handle, HidD_GetManufacturerString, text);
}

bool Win32HidPlatform::GetProductString(HidHandle handle, std::string &text) {
  return QueryString(handle, HidD_GetProductString, text);
}

bool Win32HidPlatform::GetSerialNumberString(HidHandle handle, std::string &text) {
  return QueryString(handle, HidD_GetSerialNumberString, text);
}

bool Win32HidPlatform::GetReportLengths(HidHandle handle, HidReportLengths &lengths) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(ToHandle(handle), &preparsed))
    return false;
  HIDP_CAPS caps{};
  const bool ok = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
  const bool freed = HidD_FreePreparsedData(preparsed);
  if (!ok || !freed)
    return false;
  lengths.InputReportByteLength = caps.InputReportByteLength;
  lengths.OutputReportByteLength = caps.OutputReportByteLength;
  return true;
}

int Win32HidPlatform::Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent)
    return -1;
  DWORD count = 0;
  int result = -1;
  if (ReadFile(ToHandle(handle), buffer, static_cast<DWORD>(length), &count, &overlapped)) {
    result = static_cast<int>(count);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    const DWORD wait = WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(timeoutMs));
    if (wait == WAIT_OBJECT_0 &&
        GetOverlappedResult(ToHandle(handle), &overlapped, &count, FALSE)) {
      result = static_cast<int>(count);
    } else if (wait == WAIT_TIMEOUT) {
      CancelIo(ToHandle(handle));
      // Wait for the cancelled read to finish before its buffer goes out of scope. A report
      // that completed the read just before the cancel is in the buffer: it is kept.
      count = 0;
      result = GetOverlappedResult(ToHandle(handle), &overlapped, &count, TRUE) && count > 0
                   ? static_cast<int>(count)
                   : 0;
    }
  }
  CloseHandle(overlapped.hEvent);
  return result;
}

int Win32HidPlatform::Write(HidHandle handle, const std::uint8_t *report, int length) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent)
    return -1;
  DWORD count = 0;
  int result = -1;
  if (WriteFile(ToHandle(handle), report, static_cast<DWORD>(length), &count, &overlapped)) {
    result = static_cast<int>(count);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    // A write to a HID device completes within the interrupt interval; one second is generous.
    if (WaitForSingleObject(overlapped.hEvent, 1000) == WAIT_OBJECT_0 &&
        GetOverlappedResult(ToHandle(handle), &overlapped, &count, FALSE)) {
      result = static_cast<int>(count);
    } else {
      CancelIo(ToHandle(handle));
      // A write that completed just before the cancel went out: it is not sent again.
      count = 0;
      if (GetOverlappedResult(ToHandle(handle), &overlapped, &count, TRUE) && count > 0)
        result = static_cast<int>(count);
    }
  }
  CloseHandle(overlapped.hEvent);
  return result;
}

bool Win32HidPlatform::WatchArrivals(std::uint16_t vendorId, std::uint16_t productId) {
  if (!ArrivalWatch)
    ArrivalWatch = WatchSystemArrivals(vendorId, productId);
  return ArrivalWatch != nullptr;
}

std::uint64_t Win32HidPlatform::Arrivals() {
  return ArrivalWatch ? ArrivalWatch->Count() : 0;
}

} // namespace zol
