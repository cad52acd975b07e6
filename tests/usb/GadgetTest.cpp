#include <gtest/gtest.h>

#include "link/ReportDescriptor.h"
#include "link/USB.h"
#include "sim/Gadget.h"

namespace zol {
namespace {

TEST(Gadget, DescriptorDeclaresTheInstrumentsReports) {
  struct Case {
    bool Oversized;
    int In, Out;
  };
  for (const Case c : {Case{false, kSimInputReportLength, kSimOutputReportLength},
                       Case{true, kSimOversizedInputLength + 1, kSimOversizedOutputLength + 1}}) {
    const std::vector<std::uint8_t> d = GadgetReportDescriptor(c.Oversized);
    TReportDescriptorInfo info;
    std::string error;
    ASSERT_TRUE(ParseReportDescriptor(d.data(), d.size(), info, &error)) << error;
    EXPECT_EQ(info.InputReportByteLength, c.In);
    EXPECT_EQ(info.OutputReportByteLength, c.Out);
    EXPECT_FALSE(info.UsesReportIds);
    EXPECT_EQ(info.InputReportByteLength > kReadBufferSize, c.Oversized);
  }
}

TEST(Gadget, ControlLines) {
  using K = TGadgetRequest::TKind;
  struct Case {
    const char *Line;
    bool Ok;
    K Kind;
    int Period;
    const char *Fault;
  };
  const Case cases[] = {
      {"plug", true, K::Plug, 0, ""},
      {"unplug", true, K::Unplug, 0, ""},
      {"  stats ", true, K::Stats, 0, ""},
      {"quit", true, K::Quit, 0, ""},
      {"period 1", true, K::Period, 1, ""},
      {"period 1000", true, K::Period, 1000, ""},
      {"period 0", false, K::Stats, 0, ""},
      {"period 1001", false, K::Stats, 0, ""},
      {"period -5", false, K::Stats, 0, ""},
      {"period 99999999999", false, K::Stats, 0, ""},
      {"period", false, K::Stats, 0, ""},
      {"fault silent", true, K::Fault, 0, "silent"},
      {"fault drop=0.5", true, K::Fault, 0, "drop=0.5"},
      {"fault healthy", true, K::Fault, 0, "healthy"},
      {"fault drop=2", false, K::Stats, 0, ""},
      {"fault corrupt=", false, K::Stats, 0, ""},
      {"fault permission-denied", false, K::Stats, 0, ""},
      {"plug now", false, K::Stats, 0, ""},
      {"", false, K::Stats, 0, ""},
  };
  for (const Case &c : cases) {
    const auto r = ParseGadgetRequest(c.Line);
    ASSERT_EQ(r.has_value(), c.Ok) << c.Line;
    if (!r)
      continue;
    EXPECT_EQ(r->Kind, c.Kind) << c.Line;
    EXPECT_EQ(r->Period, c.Period) << c.Line;
    EXPECT_EQ(r->Fault, c.Fault) << c.Line;
  }
}

} // namespace
} // namespace zol
