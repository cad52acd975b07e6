#include "windows/Select.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "link/HidPlatform.h"
#include "protocol/AccessHint.h"
#include "ui_Select.h"
#include "windows/Language.h"
#include "windows/Look.h"

namespace zol {

TSelectForm *SelectForm = nullptr;

TSelectForm::TSelectForm(QWidget *Parent)
    : QDialog(Parent), ui(std::make_unique<Ui::TSelectForm>()) {
  ui->setupUi(this);
  GrRdSelect = ui->GrRdSelect;
  BtnOK = ui->BtnOK;

  // Close box only, above the other windows, fixed size.
  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
  setFixedSize(186, 258);
  setAttribute(Qt::WA_QuitOnClose, false);
  setFont(PixelFont("MS Sans Serif", 11, QFont::SansSerif));

  // The lines sit in a scroll area, so that any number of instruments can be offered.
  auto *Outer = new QVBoxLayout(GrRdSelect);
  Outer->setContentsMargins(2, 2, 2, 2);
  auto *Scroll = new QScrollArea(GrRdSelect);
  Scroll->setFrameShape(QFrame::NoFrame);
  Scroll->setWidgetResizable(true);
  Scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto *Lines = new QWidget(Scroll);
  Lines->setObjectName(QStringLiteral("Lines"));
  FLines = new QVBoxLayout(Lines);
  FLines->setContentsMargins(6, 2, 2, 2);
  FLines->setSpacing(4);
  FLines->addStretch(1);
  Scroll->setWidget(Lines);
  Outer->addWidget(Scroll);

  FGroup = new QButtonGroup(this);
  FGroup->setExclusive(true);
  BtnOK->setDefault(true);
  connect(BtnOK, &QPushButton::clicked, this, &TSelectForm::BtnOKClick);
}

TSelectForm::~TSelectForm() = default;

void TSelectForm::SetItems(const QStringList &Lines, int Selected) {
  for (QRadioButton *Button : FButtons) {
    FGroup->removeButton(Button);
    delete Button;
  }
  FButtons.clear();
  for (int i = 0; i < Lines.size(); ++i) {
    auto *Button = new QRadioButton(Lines[i]);
    Button->setObjectName(QStringLiteral("Line%1").arg(i));
    FGroup->addButton(Button, i);
    // Before the stretch that keeps the lines at the top.
    FLines->insertWidget(i, Button);
    FButtons.append(Button);
  }
  SetItemIndex(Selected);
}

int TSelectForm::ItemIndex() const {
  return FGroup->checkedId();
}

void TSelectForm::SetItemIndex(int Index) {
  if (Index >= 0 && Index < FButtons.size()) {
    FButtons[Index]->setChecked(true);
    return;
  }
  // An exclusive group will not uncheck its last checked button by itself.
  if (QAbstractButton *Checked = FGroup->checkedButton()) {
    FGroup->setExclusive(false);
    Checked->setChecked(false);
    FGroup->setExclusive(true);
  }
}

QStringList TSelectForm::Items() const {
  QStringList Lines;
  for (const QRadioButton *Button : FButtons)
    Lines.append(Button->text());
  return Lines;
}

void TSelectForm::BtnOKClick() {
  accept();
}

} // namespace zol

namespace zol {

QStringList UnopenableLines(HidPlatform &Platform, std::uint16_t Vid, std::uint16_t Pid) {
  QStringList Result;
  for (const TUnopenable &Instrument : UnopenableInstruments(Platform, Vid, Pid))
    Result << QString::fromStdString(Instrument.Path) + QStringLiteral(": ") +
                  QString::fromStdString(Instrument.Reason);
  return Result;
}

QString UnopenableMessage(const QStringList &Unopenable) {
  // What is missing on this system, in the words zolctl uses too.
  const TAccessHint Hint = AccessHint();
  return Tr("Un instrument RW8 est branché mais ce programme n'a pas le droit de l'ouvrir :\n"
            "%1\n\nPour y remédier : %2.",
            "An RW8 instrument is plugged in but this program may not open it:\n"
            "%1\n\nTo mend it: %2.")
      .arg(Unopenable.join(QLatin1Char('\n')),
           QString::fromStdString(InEnglish() ? Hint.English : Hint.French));
}

} // namespace zol
