// Arrivals on Windows: the configuration manager's notifications for the HID interface class.
// They come on a thread of the system: the callback only counts, and Count reads the count.
#include "link/Arrivals.h"

#include <windows.h>
// After windows.h.
#include <cfgmgr32.h>
// mingw-w64's HID header does not declare its functions extern "C" itself.
extern "C" {
#include <hidsdi.h>
}

#include <atomic>
#include <cwchar>
#include <cwctype>
#include <string>

namespace zol {

namespace {

using TRegisterNotification = CONFIGRET(WINAPI *)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK,
                                                  PHCMNOTIFICATION);
using TUnregisterNotification = CONFIGRET(WINAPI *)(HCMNOTIFICATION);

/// The configuration manager's two calls, looked up where the system has them (Windows 8 on);
/// none under Wine, whose cfgmgr32 has CM_Register_Notification only as a stub that ends the
/// program when it is called.
struct TNotifications {
  TRegisterNotification Register = nullptr;
  TUnregisterNotification Unregister = nullptr;
};

TNotifications LookUpNotifications() {
  const HMODULE Ntdll = GetModuleHandleW(L"ntdll.dll");
  if (Ntdll != nullptr && GetProcAddress(Ntdll, "wine_get_version") != nullptr)
    return {};
  const HMODULE CfgMgr = LoadLibraryW(L"cfgmgr32.dll");
  if (CfgMgr == nullptr)
    return {};
  // Through a function without parameters, which any function pointer may be cast to and from.
  using TAny = void (*)();
  TNotifications Calls;
  Calls.Register = reinterpret_cast<TRegisterNotification>(
      reinterpret_cast<TAny>(GetProcAddress(CfgMgr, "CM_Register_Notification")));
  Calls.Unregister = reinterpret_cast<TUnregisterNotification>(
      reinterpret_cast<TAny>(GetProcAddress(CfgMgr, "CM_Unregister_Notification")));
  if (Calls.Register == nullptr || Calls.Unregister == nullptr)
    return {};
  return Calls;
}

class TCmArrivals final : public TArrivalWatch {
public:
  TCmArrivals(std::uint16_t VendorId, std::uint16_t ProductId) {
    wchar_t Ids[32];
    std::swprintf(Ids, 32, L"vid_%04x&pid_%04x", VendorId, ProductId);
    FIds = Ids;
  }
  ~TCmArrivals() override {
    // Waits for a callback that is running: nothing calls into this object afterwards.
    if (FNotify != nullptr)
      FCalls.Unregister(FNotify);
  }
  bool Start() {
    FCalls = LookUpNotifications();
    if (FCalls.Register == nullptr)
      return false;
    CM_NOTIFY_FILTER Filter{};
    Filter.cbSize = sizeof Filter;
    Filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    HidD_GetHidGuid(&Filter.u.DeviceInterface.ClassGuid);
    return FCalls.Register(&Filter, this, &TCmArrivals::Callback, &FNotify) == CR_SUCCESS;
  }
  std::uint64_t Count() override { return FCount.load(); }

private:
  static DWORD CALLBACK Callback(HCMNOTIFICATION, PVOID Context, CM_NOTIFY_ACTION Action,
                                 PCM_NOTIFY_EVENT_DATA Data, DWORD) {
    auto *Self = static_cast<TCmArrivals *>(Context);
    if (Action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL && Data != nullptr &&
        Self->Matches(Data->u.DeviceInterface.SymbolicLink))
      Self->FCount.fetch_add(1);
    return ERROR_SUCCESS;
  }
  /// Whether the interface's path names the ids ("\\?\HID#VID_0451&PID_0023#...").
  bool Matches(const wchar_t *Path) const {
    std::wstring Lower(Path);
    for (wchar_t &c : Lower)
      c = static_cast<wchar_t>(std::towlower(c));
    return Lower.find(FIds) != std::wstring::npos;
  }

  std::wstring FIds;
  TNotifications FCalls;
  HCMNOTIFICATION FNotify = nullptr;
  std::atomic<std::uint64_t> FCount{0};
};

} // namespace

std::unique_ptr<TArrivalWatch> WatchSystemArrivals(std::uint16_t VendorId,
                                                   std::uint16_t ProductId) {
  auto Watch = std::make_unique<TCmArrivals>(VendorId, ProductId);
  if (!Watch->Start())
    return nullptr;
  return Watch;
}

} // namespace zol
