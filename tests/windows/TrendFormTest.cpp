// The trend window on a simulated instrument: a relay switch is shown where the instrument
// switched it, the band follows the alarm as written, and the export holds the rows.
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "WindowsTest.h"
#include "windows/TZOL.h"
#include "windows/Trend.h"

namespace zol::test {
namespace {

TEST(TTrendForm, ARelaySwitchShowsWhereTheInstrumentSwitchedIt) {
  TVirtualRW8Options Options;
  Options.ReportPeriodMs = 2;
  SimPlatform Platform(1, Options);
  auto Instrument = Platform.Instrument(0);
  Instrument->SetTemperature(20.0f);
  TZOL ZOL(Platform);
  TTrendForm Form(ZOL);
  ASSERT_EQ(ZOL.Scan(), 1);
  bool Tagged = false;
  QObject::connect(&ZOL, &TZOL::TagUpdated, [&] { Tagged = true; });
  ASSERT_TRUE(ZOL.Open(0));
  ASSERT_TRUE(WaitUntil([&] { return Tagged; })); // the connection's chain is over
  TZOLAlarm Alarm;
  Alarm.SetPoint = 25.0f;
  Alarm.Hysteresis = 1.0f;
  ZOL.WriteFilter(0.5f);
  ASSERT_TRUE(WaitUntil([&] { return ZOL.Snapshot().Settings.Filter == 0.5f; }));
  ZOL.WriteAlarm1(Alarm);
  // The write's read-back gives the trend its band.
  ASSERT_TRUE(WaitUntil([&] { return ZOL.Snapshot().Settings.Alarm1.SetPoint == 25.0f; }));
  ASSERT_TRUE(WaitUntil([&] { return ZOL.Snapshot().Measure < 20.5f; }));
  WaitUntil([] { return false; }, 300);
  // The measurement climbs through the set point, damped by the filter.
  Instrument->SetTemperature(30.0f);
  ASSERT_TRUE(WaitUntil([&] { return ZOL.Snapshot().Relay1; }));
  WaitUntil([] { return false; }, 300);

  const auto Columns = Form.Plot->Columns();
  int First = -1;
  for (int c = 0; c < static_cast<int>(Columns.size()) && First < 0; ++c)
    if (Columns[c].Relay1)
      First = c;
  ASSERT_GE(First, 0);
  // Before the switch every value lay under the set point; the switch came with one at it.
  for (int c = 0; c < First; ++c) {
    if (Columns[c].Count > 0) {
      EXPECT_LT(Columns[c].Max, 25.0) << c;
    }
  }
  EXPECT_GE(Columns[First].Max, 25.0);
  const TTrendAxis Axis = Form.Plot->Axis(Columns);
  EXPECT_LT(Axis.Low, 24.0); // the band, 24 to 25, is on the plot
  EXPECT_GT(Axis.High, 25.0);

  const QByteArray Csv = Form.CsvText();
  EXPECT_TRUE(Csv.startsWith("time,measure,relay1,relay2,led1,led2,writeLocked,rawValue,rt\n"));
  EXPECT_TRUE(Csv.contains(",1,0,")) << Csv.right(200).toStdString();
  QTemporaryDir Dir;
  QString Reason;
  ASSERT_TRUE(Form.ExportPng(Dir.filePath(QStringLiteral("trend.png")), Reason))
      << Reason.toStdString();
  EXPECT_FALSE(Form.ExportCsv(Dir.path(), Reason)); // a folder is not replaced
  EXPECT_FALSE(Reason.isEmpty());
}

} // namespace
} // namespace zol::test
