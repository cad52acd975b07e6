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

HANDLE ToHandle(HidHandle Handle) {
  return reinterpret_cast<HANDLE>(Handle);
}

std::string Utf16ToUtf8(const wchar_t *Text) {
  if (!Text || !*Text)
    return {};
  const int Size = WideCharToMultiByte(CP_UTF8, 0, Text, -1, nullptr, 0, nullptr, nullptr);
  if (Size <= 1)
    return {};
  std::string Out(static_cast<std::size_t>(Size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text, -1, Out.data(), Size, nullptr, nullptr);
  return Out;
}

std::string ErrorText(DWORD Code) {
  char Buffer[256]{};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, Code, 0, Buffer, sizeof Buffer, nullptr);
  std::string Text(Buffer, n);
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r' || Text.back() == '.'))
    Text.pop_back();
  return Text;
}

// 257 UTF-16 code units, the longest identity string a device can give.
constexpr ULONG kStringBytes = 514;

template <typename Getter> bool QueryString(HidHandle Handle, Getter Get, std::string &Text) {
  wchar_t Buffer[kStringBytes / 2 + 1]{};
  if (!Get(ToHandle(Handle), Buffer, kStringBytes))
    return false;
  Text = Utf16ToUtf8(Buffer);
  return true;
}

} // namespace

Win32HidPlatform::Win32HidPlatform() = default;
Win32HidPlatform::~Win32HidPlatform() = default;

std::vector<std::string> Win32HidPlatform::ListInterfaces(bool IncludeRegistered) {
  std::vector<std::string> Paths;
  GUID HidGuid;
  HidD_GetHidGuid(&HidGuid);
  const DWORD Flags =
      IncludeRegistered ? DIGCF_DEVICEINTERFACE : (DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  HDEVINFO Set = SetupDiGetClassDevsA(&HidGuid, nullptr, nullptr, Flags);
  if (Set == INVALID_HANDLE_VALUE)
    return Paths;
  for (DWORD Member = 0;; ++Member) {
    SP_DEVICE_INTERFACE_DATA Data{};
    Data.cbSize = sizeof Data;
    if (!SetupDiEnumDeviceInterfaces(Set, nullptr, &HidGuid, Member, &Data))
      break;
    DWORD Required = 0;
    SetupDiGetDeviceInterfaceDetailA(Set, &Data, nullptr, 0, &Required, nullptr);
    if (Required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
      continue;
    std::vector<std::uint8_t> Buffer(Required);
    auto *Detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(Buffer.data());
    Detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(Set, &Data, Detail, Required, nullptr, nullptr))
      continue;
    Paths.emplace_back(Detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(Set);
  return Paths;
}

HidHandle Win32HidPlatform::Open(const std::string &Path) {
  // Overlapped, so that a read can wait with a time-out.
  HANDLE Handle =
      CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (Handle == INVALID_HANDLE_VALUE) {
    OpenErrorText = ErrorText(GetLastError());
    return kInvalidHidHandle;
  }
  OpenErrorText.clear();
  return reinterpret_cast<HidHandle>(Handle);
}

std::string Win32HidPlatform::LastOpenError() const {
  return OpenErrorText;
}

void Win32HidPlatform::Close(HidHandle Handle) {
  if (Handle != kInvalidHidHandle)
    CloseHandle(ToHandle(Handle));
}

bool Win32HidPlatform::GetAttributes(HidHandle Handle, HidAttributes &Attributes) {
  HIDD_ATTRIBUTES a{};
  a.Size = sizeof a;
  if (!HidD_GetAttributes(ToHandle(Handle), &a))
    return false;
  Attributes.VendorID = a.VendorID;
  Attributes.ProductID = a.ProductID;
  Attributes.VersionNumber = a.VersionNumber;
  return true;
}

bool Win32HidPlatform::GetManufacturerString(HidHandle Handle, std::string &Text) {
  return QueryString(Handle, HidD_GetManufacturerString, Text);
}

bool Win32HidPlatform::GetProductString(HidHandle Handle, std::string &Text) {
  return QueryString(Handle, HidD_GetProductString, Text);
}

bool Win32HidPlatform::GetSerialNumberString(HidHandle Handle, std::string &Text) {
  return QueryString(Handle, HidD_GetSerialNumberString, Text);
}

bool Win32HidPlatform::GetReportLengths(HidHandle Handle, HidReportLengths &Lengths) {
  PHIDP_PREPARSED_DATA Preparsed = nullptr;
  if (!HidD_GetPreparsedData(ToHandle(Handle), &Preparsed))
    return false;
  HIDP_CAPS Caps{};
  const bool Ok = HidP_GetCaps(Preparsed, &Caps) == HIDP_STATUS_SUCCESS;
  const bool Freed = HidD_FreePreparsedData(Preparsed);
  if (!Ok || !Freed)
    return false;
  Lengths.InputReportByteLength = Caps.InputReportByteLength;
  Lengths.OutputReportByteLength = Caps.OutputReportByteLength;
  return true;
}

int Win32HidPlatform::Read(HidHandle Handle, std::uint8_t *Buffer, int Length, int TimeoutMs) {
  OVERLAPPED Overlapped{};
  Overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!Overlapped.hEvent)
    return -1;
  DWORD Count = 0;
  int Result = -1;
  if (ReadFile(ToHandle(Handle), Buffer, static_cast<DWORD>(Length), &Count, &Overlapped)) {
    Result = static_cast<int>(Count);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    const DWORD Wait = WaitForSingleObject(Overlapped.hEvent, static_cast<DWORD>(TimeoutMs));
    if (Wait == WAIT_OBJECT_0 &&
        GetOverlappedResult(ToHandle(Handle), &Overlapped, &Count, FALSE)) {
      Result = static_cast<int>(Count);
    } else if (Wait == WAIT_TIMEOUT) {
      CancelIo(ToHandle(Handle));
      // Wait for the cancelled read to finish before its buffer goes out of scope. A report
      // that completed the read just before the cancel is in the buffer: it is kept.
      Count = 0;
      Result = GetOverlappedResult(ToHandle(Handle), &Overlapped, &Count, TRUE) && Count > 0
                   ? static_cast<int>(Count)
                   : 0;
    }
  }
  CloseHandle(Overlapped.hEvent);
  return Result;
}

int Win32HidPlatform::Write(HidHandle Handle, const std::uint8_t *Report, int Length) {
  OVERLAPPED Overlapped{};
  Overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!Overlapped.hEvent)
    return -1;
  DWORD Count = 0;
  int Result = -1;
  if (WriteFile(ToHandle(Handle), Report, static_cast<DWORD>(Length), &Count, &Overlapped)) {
    Result = static_cast<int>(Count);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    // A write to a HID device completes within the interrupt interval; one second is generous.
    if (WaitForSingleObject(Overlapped.hEvent, 1000) == WAIT_OBJECT_0 &&
        GetOverlappedResult(ToHandle(Handle), &Overlapped, &Count, FALSE)) {
      Result = static_cast<int>(Count);
    } else {
      CancelIo(ToHandle(Handle));
      // A write that completed just before the cancel went out: it is not sent again.
      Count = 0;
      if (GetOverlappedResult(ToHandle(Handle), &Overlapped, &Count, TRUE) && Count > 0)
        Result = static_cast<int>(Count);
    }
  }
  CloseHandle(Overlapped.hEvent);
  return Result;
}

bool Win32HidPlatform::WatchArrivals(std::uint16_t VendorId, std::uint16_t ProductId) {
  if (!ArrivalWatch)
    ArrivalWatch = WatchSystemArrivals(VendorId, ProductId);
  return ArrivalWatch != nullptr;
}

std::uint64_t Win32HidPlatform::Arrivals() {
  return ArrivalWatch ? ArrivalWatch->Count() : 0;
}

} // namespace zol
