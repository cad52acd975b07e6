// Report descriptors come from the device: refuse nonsense, never trust it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "link/ReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  zol::TReportDescriptorInfo info;
  std::string error;
  if (zol::ParseReportDescriptor(Data, Size, info, &error)) {
    for (int length :
         {info.InputReportByteLength, info.OutputReportByteLength, info.FeatureReportByteLength})
      if (length < 0 || length > 0xFFFF + 1) {
        std::fprintf(stderr, "length out of range: %d\n", length);
        std::abort();
      }
  } else if (error.empty()) {
    std::abort();
  }
  return 0;
}
