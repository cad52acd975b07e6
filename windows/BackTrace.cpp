#include "windows/BackTrace.h"

#include <QHeaderView>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QTableWidget>

#include "ui_BackTrace.h"
#include "windows/Look.h"

namespace zol {

TBackTraceForm *BackTraceForm = nullptr;

namespace {

constexpr int kColumns = 5;
constexpr int kColumnWidths[kColumns] = {80, 41, 272, 80, 80};
constexpr int kRowHeight = 20;
// The last index a read asks for.
constexpr int kLastIndex = TBackTraceForm::kRecords - 1;

} // namespace

TBackTraceForm::TBackTraceForm(TCustomZOL *Device, QWidget *Parent)
    : QDialog(Parent), ui(std::make_unique<Ui::TBackTraceForm>()), Device(Device) {
  ui->setupUi(this);
  StGrOP = ui->StGrOP;
  ProgressBar1 = ui->ProgressBar1;
  BtnReadWROP = ui->BtnReadWROP;
  BtnClose = ui->BtnClose;

  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(578, 249);
  // Lives for the whole run; only the main window's closing ends the program.
  setAttribute(Qt::WA_QuitOnClose, false);
  // 11-pixel MS Sans Serif, or the nearest sans-serif font, a little narrowed where the system
  // has such a face: the longest operation name must fit column 2.
  QFont Font = PixelFont("MS Sans Serif", 11, QFont::SansSerif);
  Font.setStretch(QFont::SemiCondensed);
  setFont(Font);

  // A grid in the manner of a string grid: row 0 and column 0 are the grey fixed cells, drawn
  // by the items themselves, so the view's own headers stay hidden.
  StGrOP->horizontalHeader()->hide();
  StGrOP->verticalHeader()->hide();
  StGrOP->verticalHeader()->setMinimumSectionSize(1);
  StGrOP->verticalHeader()->setDefaultSectionSize(kRowHeight);
  StGrOP->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  StGrOP->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  StGrOP->setFocusPolicy(Qt::NoFocus);
  StGrOP->setWordWrap(false);
  for (int Column = 0; Column < kColumns; ++Column)
    StGrOP->setColumnWidth(Column, kColumnWidths[Column]);
  for (int Row = 0; Row <= kRecords; ++Row) {
    StGrOP->setRowHeight(Row, kRowHeight);
    for (int Column = 0; Column < kColumns; ++Column) {
      auto *Item = new QTableWidgetItem();
      Item->setFlags(Qt::ItemIsEnabled);
      if (Row == 0 || Column == 0)
        Item->setBackground(palette().button());
      StGrOP->setItem(Row, Column, Item);
    }
  }

  connect(BtnReadWROP, &QPushButton::clicked, this, &TBackTraceForm::BtnReadWROPClick);
  connect(BtnClose, &QPushButton::clicked, this, &TBackTraceForm::BtnCloseClick);
  BtnReadWROP->setFocus();
}

TBackTraceForm::~TBackTraceForm() = default;

void TBackTraceForm::showEvent(QShowEvent *Event) {
  // Un-minimising also shows the window; only a real showing empties the list and reads again.
  if (!Event->spontaneous())
    FormShow();
  QDialog::showEvent(Event);
}

void TBackTraceForm::SetCell(int Row, int Column, const QString &Text) {
  StGrOP->item(Row, Column)->setText(Text);
}

void TBackTraceForm::WriteHeadings() {
  SetCell(0, 1, QStringLiteral("Msk"));
  SetCell(0, 2, QStringLiteral("Opération"));
  SetCell(0, 3, QStringLiteral("Date"));
  SetCell(0, 4, QStringLiteral("Heure"));
}

void TBackTraceForm::FormShow() {
  WriteHeadings();
  for (int Row = 1; Row <= kRecords; ++Row) {
    SetCell(Row, 0, QString::number(Row - 1));
    for (int Column = 1; Column < kColumns; ++Column)
      SetCell(Row, Column, QStringLiteral(" "));
  }
  BtnReadWROP->setFocus();
  BtnReadWROPClick();
}

void TBackTraceForm::StartRead() {
  if (RequestHistory)
    RequestHistory();
  else if (Device != nullptr)
    Device->ReadHistory();
}

void TBackTraceForm::BtnReadWROPClick() {
  RequestIndex = 0;
  StartRead();
  ProgressBar1->setValue(0);
}

void TBackTraceForm::BtnCloseClick() {
  close();
}

void TBackTraceForm::ReceiveWROP(const TWROP &Record) {
  // The slot comes from the record itself, not from the index asked for: answers to an earlier
  // read still on their way land where they belong.
  const int Slot = WROPSlot(Record.SlotMask);
  if (Slot >= 0 && Slot < kRecords)
    History[static_cast<std::size_t>(Slot)] = Record;
  ProgressBar1->setValue(RequestIndex);
  if (RequestIndex < kLastIndex) {
    // The device component has asked for the next record already.
    ++RequestIndex;
    return;
  }
  WriteHeadings();
  for (int s = 0; s < kRecords; ++s) {
    const TWROP &Op = History[static_cast<std::size_t>(s)];
    SetCell(s + 1, 0, QString::number(s));
    SetCell(s + 1, 1, QString::fromStdString(HexByte(Op.SlotMask)));
    const QString Name = QString::fromStdString(WROPOperationName(Op.OpCode));
    SetCell(s + 1, 2, Name);
    StGrOP->item(s + 1, 2)->setToolTip(Name); // whole, should a narrow font cut it
    SetCell(s + 1, 3, QString::fromStdString(WROPDateText(Op.OpDate)));
    SetCell(s + 1, 4, QString::fromStdString(WROPTimeText(Op.OpTime)));
  }
}

} // namespace zol
