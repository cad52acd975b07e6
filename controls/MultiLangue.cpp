#include "controls/MultiLangue.h"

namespace zol {

namespace {
/// The program's language, shared by every text set; only setLangue writes and reads it. English
/// at start, so the first window description to assign French changes it once.
TLangue GlobalLangue = TLangue::Anglais;
/// The language every set reads: the program's texts are French unless it runs in English.
TLangue LangueEnVigueur = TLangue::Francais;
} // namespace

TMultiLangue::TMultiLangue(QObject *Parent) : QObject(Parent) {}

TLangue TMultiLangue::Langue() const {
  return LangueEnVigueur;
}

void TMultiLangue::SetLangueEnVigueur(TLangue Value) {
  LangueEnVigueur = Value;
}

void TMultiLangue::setLangue(TLangue Value) {
  if (Value == GlobalLangue)
    return;
  GlobalLangue = Value;
  emit ChangeLangue();
}

QString TMultiLangue::Texte() const {
  return Langue() == TLangue::Francais ? FTexte_Francais : FTexte_Anglais;
}

} // namespace zol
