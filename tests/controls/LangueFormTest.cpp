// A window description that places the controls as promoted widgets, with both texts of every
// caption, loaded the way the windows load theirs.
#include <QWidget>

#include <gtest/gtest.h>

#include "controls/Led.h"
#include "controls/MyControls.h"
#include "controls/Relais.h"
#include "controls/SEGMENTS.h"
#include "ui_LangueForm.h"

namespace zol {
namespace {

TEST(LangueForm, ShowsTheFrenchTextsOfTheDescription) {
  QWidget Form;
  Ui::LangueForm Ui;
  Ui.setupUi(&Form);
  FormLoaded(&Form);

  const std::pair<TLangueControl *, const char *> English[] = {
      {Ui.LabelLangue7, "USB Device connected"},
      {Ui.GrBOX10, "Measure"},
      {Ui.RdRelNo1, "Normally open"},
      {Ui.CkLangue, "Closed"},
      {Ui.BtnScan, "Scan USB Device"}};
  for (const auto &[Control, Text] : English)
    EXPECT_EQ(Control->CaptionSet()->Texte_Anglais(), QString::fromUtf8(Text));

  EXPECT_EQ(Ui.LabelLangue7->text(), QStringLiteral("Présence de l'appareil USB"));
  EXPECT_EQ(Ui.GrBOX10->title(), QStringLiteral("Mesure"));
  EXPECT_EQ(Ui.RdRelNo1->text(), QStringLiteral("Normalement ouvert"));
  EXPECT_EQ(Ui.CkLangue->text(), QStringLiteral("Fermé"));
  EXPECT_EQ(Ui.BtnScan->text(), QStringLiteral("Recheche du materiel USB"));
  EXPECT_EQ(Ui.BtnScan->toolTip(), QStringLiteral("Recherche l'appareil"));
  EXPECT_EQ(Ui.BtnScan->Hint(), QStringLiteral("Recherche l'appareil"));
  EXPECT_EQ(Ui.BtnScan->HintSet()->Texte_Anglais(), QStringLiteral("Looks for the device"));
  EXPECT_EQ(Ui.LabelLangue7->CaptionSet()->Langue(), TLangue::Francais);
  // Set as a dynamic property, the way Qt Designer writes one added by hand.
  EXPECT_EQ(Ui.RdRelNo1->toolTip(), QStringLiteral("Contact ouvert au repos"));
}

TEST(LangueForm, SetsTheIndicatorsPropertiesAndSizes) {
  QWidget Form;
  Ui::LangueForm Ui;
  Ui.setupUi(&Form);

  EXPECT_EQ(Ui.SEGRt->Style(), TStyle::LCD);
  EXPECT_EQ(Ui.SEGRt->NbDigit(), 5);
  EXPECT_EQ(Ui.SEGRt->PointDecimal(), 1);
  EXPECT_EQ(Ui.SEGRt->Nb(), 123);
  // The description's size does not stick: the display takes its own.
  EXPECT_EQ(Ui.SEGRt->size(), QSize(214, 52));
  EXPECT_EQ(Ui.led1->Kind(), TLedKind::Green);
  EXPECT_FALSE(Ui.led1->LedStatus());
  EXPECT_TRUE(Ui.RALR1->Status());
  EXPECT_EQ(Ui.RALR1->PictureName(), QStringLiteral("CT2"));
}

} // namespace
} // namespace zol
