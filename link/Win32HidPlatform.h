#pragma once

#include <memory>

#include "link/Arrivals.h"
#include "link/HidPlatform.h"

namespace zol {

/// HID services over the Win32 API: SetupDi* for the interface paths, HidD_*/HidP_* for the
/// identity strings and report lengths, CreateFile/ReadFile/WriteFile for the reports.
class Win32HidPlatform final : public HidPlatform {
public:
  Win32HidPlatform();
  ~Win32HidPlatform() override;

  std::vector<std::string> ListInterfaces(bool IncludeRegistered) override;
  HidHandle Open(const std::string &Path) override;
  std::string LastOpenError() const override;
  void Close(HidHandle Handle) override;
  bool GetAttributes(HidHandle Handle, HidAttributes &Attributes) override;
  bool GetManufacturerString(HidHandle Handle, std::string &Text) override;
  bool GetProductString(HidHandle Handle, std::string &Text) override;
  bool GetSerialNumberString(HidHandle Handle, std::string &Text) override;
  bool GetReportLengths(HidHandle Handle, HidReportLengths &Lengths) override;
  int Read(HidHandle Handle, std::uint8_t *Buffer, int Length, int TimeoutMs) override;
  int Write(HidHandle Handle, const std::uint8_t *Report, int Length) override;
  bool WatchArrivals(std::uint16_t VendorId, std::uint16_t ProductId) override;
  std::uint64_t Arrivals() override;

private:
  std::unique_ptr<TArrivalWatch> ArrivalWatch;
};

} // namespace zol
