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

  std::vector<std::string> ListInterfaces(bool includeRegistered) override;
  HidHandle Open(const std::string &path) override;
  std::string LastOpenError() const override;
  void Close(HidHandle handle) override;
  bool GetAttributes(HidHandle handle, HidAttributes &attributes) override;
  bool GetManufacturerString(HidHandle handle, std::string &text) override;
  bool GetProductString(HidHandle handle, std::string &text) override;
  bool GetSerialNumberString(HidHandle handle, std::string &text) override;
  bool GetReportLengths(HidHandle handle, HidReportLengths &lengths) override;
  int Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) override;
  int Write(HidHandle handle, const std::uint8_t *report, int length) override;
  bool WatchArrivals(std::uint16_t vendorId, std::uint16_t productId) override;
  std::uint64_t Arrivals() override;

private:
  std::unique_ptr<TArrivalWatch> ArrivalWatch;
};

} // namespace zol
