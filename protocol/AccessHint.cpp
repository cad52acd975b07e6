#include "protocol/AccessHint.h"

#include "link/HidPlatform.h"

namespace zol {

std::vector<TUnopenable> UnopenableInstruments(HidPlatform &Platform, std::uint16_t VendorId,
                                               std::uint16_t ProductId) {
  std::vector<TUnopenable> Result;
  for (const std::string &Path : Platform.ListInterfaces(false)) {
    HidAttributes Attributes;
    if (!Platform.PeekAttributes(Path, Attributes) || Attributes.VendorID != VendorId ||
        Attributes.ProductID != ProductId)
      continue;
    const HidHandle Handle = Platform.Open(Path);
    if (Handle != kInvalidHidHandle) {
      Platform.Close(Handle);
      continue;
    }
    Result.push_back({Path, Platform.LastOpenError()});
  }
  return Result;
}

} // namespace zol
