// Tests of the write-history window, on its own and on a simulated instrument.
#include <QHeaderView>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "WindowsTest.h"
#include "protocol/ZOL.h"
#include "windows/BackTrace.h"
#include "windows/TZOL.h"

namespace zol::test {
namespace {

constexpr std::array<std::uint8_t, 8> kSlotMasks = {0xFF, 0xFE, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0, 0x80};

TWROP Record(std::uint8_t Mask, std::uint8_t Code, std::uint16_t Date, std::uint16_t Time) {
  TWROP R;
  R.SlotMask = Mask;
  R.OpCode = Code;
  R.OpDate = Date;
  R.OpTime = Time;
  return R;
}

/// The row the grid shows for a record, as the four texts of columns 1 to 4.
QStringList RowOf(const TWROP &R) {
  return {Hex2(R.SlotMask), QString::fromStdString(WROPOperationName(R.OpCode)),
          QString::fromStdString(WROPDateText(R.OpDate)),
          QString::fromStdString(WROPTimeText(R.OpTime))};
}

QStringList GridRow(const TBackTraceForm &Form, int Row) {
  QStringList Texts;
  for (int Column = 1; Column < 5; ++Column)
    Texts << Form.StGrOP->item(Row, Column)->text();
  return Texts;
}

// ---- Write-history window, on its own ----------------------------------------------------------

class BackTraceTest : public ::testing::Test {
protected:
  void SetUp() override {
    Form = std::make_unique<TBackTraceForm>(nullptr);
    // The device component asks for each record itself: the window only starts a read.
    Form->RequestHistory = [this] { ++Reads; };
  }
  /// Shows the window (a read starts) and answers with Records in this order.
  void ReadWith(const std::vector<TWROP> &Records) {
    for (const TWROP &R : Records)
      Form->ReceiveWROP(R);
  }
  std::unique_ptr<TBackTraceForm> Form;
  int Reads = 0; // history reads started
};

TEST_F(BackTraceTest, GridAsDescribed) {
  EXPECT_EQ(Form->size(), QSize(578, 249));
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("Liste des 8 dernières opérations"));
  EXPECT_EQ(Form->StGrOP->geometry(), QRect(8, 8, 561, 193));
  EXPECT_EQ(Form->BtnClose->geometry(), QRect(8, 208, 105, 25));
  EXPECT_EQ(Form->ProgressBar1->geometry(), QRect(120, 208, 337, 25));
  EXPECT_EQ(Form->BtnReadWROP->geometry(), QRect(464, 208, 107, 25));
  EXPECT_EQ(Form->BtnClose->text(), QStringLiteral("Ferme"));
  EXPECT_EQ(Form->BtnReadWROP->text(), QStringLiteral("Relire les opérations"));
  EXPECT_EQ(Form->ProgressBar1->minimum(), 0);
  EXPECT_EQ(Form->ProgressBar1->maximum(), 7);
  ASSERT_EQ(Form->StGrOP->columnCount(), 5);
  ASSERT_EQ(Form->StGrOP->rowCount(), 9);
  const int Widths[] = {80, 41, 272, 80, 80};
  for (int c = 0; c < 5; ++c)
    EXPECT_EQ(Form->StGrOP->columnWidth(c), Widths[c]);
  for (int r = 0; r < 9; ++r)
    EXPECT_EQ(Form->StGrOP->rowHeight(r), 20);
  EXPECT_EQ(Form->StGrOP->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(Form->StGrOP->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

  Form->show();
  EXPECT_EQ(GridRow(*Form, 0), (QStringList{"Msk", QStringLiteral("Opération"), "Date", "Heure"}));
  EXPECT_TRUE(Form->StGrOP->item(0, 0)->text().isEmpty());
  for (int r = 1; r <= 8; ++r) {
    EXPECT_EQ(Form->StGrOP->item(r, 0)->text(), QString::number(r - 1));
    EXPECT_EQ(GridRow(*Form, r), (QStringList{" ", " ", " ", " "}));
  }
  EXPECT_EQ(Reads, 1);
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
}

TEST_F(BackTraceTest, RecordsLandInTheirSlotsWhateverTheOrder) {
  const std::vector<std::vector<int>> Orders = {
      {0, 1, 2, 3, 4, 5, 6, 7}, {7, 6, 5, 4, 3, 2, 1, 0}, {3, 0, 7, 1, 6, 2, 5, 4}};
  for (const auto &Order : Orders) {
    Reads = 0;
    Form->show();
    std::vector<TWROP> Sent;
    for (int Slot : Order)
      Sent.push_back(Record(kSlotMasks[static_cast<std::size_t>(Slot)],
                            static_cast<std::uint8_t>(0x20 + Slot), 100 * Slot + 1,
                            static_cast<std::uint16_t>(0x1000 * Slot)));
    Form->ReceiveWROP(Sent[0]);
    EXPECT_EQ(Form->ProgressBar1->value(), 0);
    for (std::size_t i = 1; i < Sent.size(); ++i) {
      // The list waits for the last answer.
      EXPECT_EQ(Form->StGrOP->item(1, 1)->text(), QStringLiteral(" "));
      Form->ReceiveWROP(Sent[i]);
    }
    EXPECT_EQ(Form->ProgressBar1->value(), 7);
    EXPECT_EQ(Reads, 1); // and no request of the window's own per record
    for (int Slot = 0; Slot < 8; ++Slot) {
      const TWROP &R = Form->History[static_cast<std::size_t>(Slot)];
      EXPECT_EQ(R.SlotMask, kSlotMasks[static_cast<std::size_t>(Slot)]);
      EXPECT_EQ(Form->StGrOP->item(Slot + 1, 0)->text(), QString::number(Slot));
      EXPECT_EQ(GridRow(*Form, Slot + 1), RowOf(R));
    }
    Form->close();
  }
}

TEST_F(BackTraceTest, DuplicateAndSlotlessAnswersCountButKeepOtherSlots) {
  // A first read fills every slot.
  Form->show();
  for (int Slot = 0; Slot < 8; ++Slot)
    Form->ReceiveWROP(Record(kSlotMasks[static_cast<std::size_t>(Slot)], 0x20, 10, 20));
  const TWROP Earlier6 = Form->History[6];
  const TWROP Earlier7 = Form->History[7];

  // The second read: slot 1 twice (the later one stays), 0x00 and 0x7F have no slot; slots 6
  // and 7 are not delivered and keep the records of the first read.
  Reads = 0;
  Form->BtnReadWROPClick();
  ReadWith({Record(0xFF, 0x21, 1, 1), Record(0xFE, 0x22, 2, 2), Record(0xFE, 0x41, 3, 3),
            Record(0x00, 0x60, 4, 4), Record(0xFC, 0x30, 5, 5), Record(0x7F, 0x61, 6, 6),
            Record(0xF8, 0x31, 7, 7), Record(0xF0, 0x66, 8, 8)});
  EXPECT_EQ(Reads, 1);
  EXPECT_EQ(Form->ProgressBar1->value(), 7);
  EXPECT_EQ(Form->History[1].OpCode, 0x41);
  EXPECT_EQ(GridRow(*Form, 2), RowOf(Record(0xFE, 0x41, 3, 3)));
  EXPECT_EQ(GridRow(*Form, 7), RowOf(Earlier6));
  EXPECT_EQ(GridRow(*Form, 8), RowOf(Earlier7));
  EXPECT_EQ(Form->History[5].OpCode, 0x20); // slot 5 untouched
}

TEST_F(BackTraceTest, SlotsNeverFilledShowZeroRecords) {
  Form->show();
  ReadWith(std::vector<TWROP>(8, Record(0xFF, 0x23, 366, 0x8000)));
  EXPECT_EQ(GridRow(*Form, 1), (QStringList{"FF", "???", "1/1/2001", "12:0"}));
  for (int Row = 2; Row <= 8; ++Row)
    EXPECT_EQ(GridRow(*Form, Row), (QStringList{"00", "???", "1/1/2000", "0:0"}));
}

TEST_F(BackTraceTest, RestartMidReadCountsAnswersStillOnTheirWay) {
  Form->show();
  ReadWith({Record(0xFF, 0x20, 1, 1), Record(0xFE, 0x20, 1, 1), Record(0xFC, 0x20, 1, 1)});
  EXPECT_EQ(Form->RequestIndex, 3);
  EXPECT_EQ(Form->ProgressBar1->value(), 2);
  Reads = 0;
  QTest::mouseClick(Form->BtnReadWROP, Qt::LeftButton);
  EXPECT_EQ(Form->RequestIndex, 0);
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
  EXPECT_EQ(Reads, 1);
  // The answer to the old request for index 3 counts as the first of the new read.
  Form->ReceiveWROP(Record(0xF8, 0x21, 2, 2));
  EXPECT_EQ(Form->RequestIndex, 1);
  ReadWith({Record(0xFF, 0x22, 3, 3), Record(0xFE, 0x22, 3, 3), Record(0xFC, 0x22, 3, 3),
            Record(0xF8, 0x22, 3, 3), Record(0xF0, 0x22, 3, 3), Record(0xE0, 0x22, 3, 3)});
  EXPECT_EQ(Form->StGrOP->item(1, 1)->text(), QStringLiteral(" ")); // not complete yet
  Form->ReceiveWROP(Record(0xC0, 0x22, 3, 3));
  EXPECT_EQ(Reads, 1);
  EXPECT_EQ(GridRow(*Form, 7), RowOf(Record(0xC0, 0x22, 3, 3)));
}

TEST_F(BackTraceTest, LateAnswerIsStoredAndShownWithoutARequest) {
  Form->show();
  ReadWith(std::vector<TWROP>(8, Record(0xFF, 0x20, 1, 1)));
  ASSERT_EQ(Form->RequestIndex, 7);
  const int Before = Reads;
  Form->ReceiveWROP(Record(0xE0, 0x68, 4000, 0x4000));
  EXPECT_EQ(Reads, Before);
  EXPECT_EQ(Form->RequestIndex, 7);
  EXPECT_EQ(Form->ProgressBar1->value(), 7);
  EXPECT_EQ(GridRow(*Form, 6), RowOf(Record(0xE0, 0x68, 4000, 0x4000)));
  EXPECT_EQ(GridRow(*Form, 0), (QStringList{"Msk", QStringLiteral("Opération"), "Date", "Heure"}));
}

TEST_F(BackTraceTest, HistoryOutlivesShowingsAndClosingKeepsTheRead) {
  Form->show();
  ReadWith({Record(0xFF, 0x31, 9, 9), Record(0xFE, 0x31, 9, 9)});
  QTest::mouseClick(Form->BtnClose, Qt::LeftButton);
  EXPECT_FALSE(Form->isVisible());
  // Answers still on their way are stored though the window is closed.
  Form->ReceiveWROP(Record(0xFC, 0x31, 9, 9));
  EXPECT_EQ(Form->History[2].OpCode, 0x31);
  EXPECT_EQ(Form->RequestIndex, 3);
  Form->show();
  EXPECT_EQ(Form->RequestIndex, 0);
  EXPECT_EQ(Form->History[0].OpCode, 0x31);
  EXPECT_EQ(Form->StGrOP->item(1, 1)->text(), QStringLiteral(" "));
}

// ---- Write-history window on a simulated instrument -------------------------------------------

class BackTraceOnInstrumentTest : public TMainWindowTest {};

TEST_F(BackTraceOnInstrumentTest, ReadsTheEightRecordsOfTheInstrument) {
  Start(1);
  // The device component asks for each record when the previous one has come; the window
  // only counts and lists them.
  Instrument()->SetReportPeriod(20);
  // A few writes give the instrument a history (slot 0 newest).
  Form->ZOL->WriteFilter(2.5f);
  ASSERT_TRUE(WaitUntil([&] { return Instrument()->Snapshot().HistoryCount >= 1; }));
  Form->ZOL->WriteTag("HISTORY");
  ASSERT_TRUE(WaitUntil([&] { return Instrument()->Snapshot().HistoryCount >= 2; }));
  const std::uint64_t Reads = Instrument()->Snapshot().CommandCount(0x02);

  BackTraceForm->show();
  auto Matches = [&] {
    if (BackTraceForm->ProgressBar1->value() != 7)
      return false;
    for (int Slot = 0; Slot < 8; ++Slot) {
      const auto Held = Instrument()->Snapshot().HistoryRecord(Slot);
      const TWROP Expected = Held ? Record(kSlotMasks[static_cast<std::size_t>(Slot)], Held->OpCode,
                                           Held->OpDate, Held->OpTime)
                                  : TWROP{};
      if (Held && GridRow(*BackTraceForm, Slot + 1) != RowOf(Expected))
        return false;
    }
    return true;
  };
  const bool Matched = WaitUntil(Matches, 10000);
  std::string Shown; // what the list shows, to tell a failure apart
  for (int Slot = 0; Slot < 8 && !Matched; ++Slot)
    Shown += GridRow(*BackTraceForm, Slot + 1).join(QLatin1Char('|')).toStdString() + "\n";
  ASSERT_TRUE(Matched) << "progress " << BackTraceForm->ProgressBar1->value() << "\n" << Shown;
  EXPECT_GE(Instrument()->Snapshot().CommandCount(0x02), Reads + 8);
  EXPECT_EQ(BackTraceForm->RequestIndex, 7);
  const auto Newest = Instrument()->Snapshot().HistoryRecord(0);
  ASSERT_TRUE(Newest.has_value());
  EXPECT_EQ(BackTraceForm->StGrOP->item(1, 2)->text(),
            QString::fromStdString(WROPOperationName(Newest->OpCode)));
  BackTraceForm->close();
}

} // namespace
} // namespace zol::test
