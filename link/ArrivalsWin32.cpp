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

// Declared by the Windows SDK from Windows 8 on; mingw-w64's header has only the types.
extern "C" CMAPI CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER Filter, PVOID Context,
                                                           PCM_NOTIFY_CALLBACK Callback,
                                                           PHCMNOTIFICATION Notify);
extern "C" CMAPI CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION Notify);

namespace zol {

namespace {

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
      CM_Unregister_Notification(FNotify);
  }
  bool Start() {
    CM_NOTIFY_FILTER Filter{};
    Filter.cbSize = sizeof Filter;
    Filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    HidD_GetHidGuid(&Filter.u.DeviceInterface.ClassGuid);
    return CM_Register_Notification(&Filter, this, &TCmArrivals::Callback, &FNotify) == CR_SUCCESS;
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
