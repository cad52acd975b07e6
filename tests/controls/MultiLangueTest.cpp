#include "controls/MultiLangue.h"

#include <QVariant>

#include <gtest/gtest.h>

namespace zol {
namespace {

/// Counts the ChangeLangue notifications of one set.
struct TCounter {
  explicit TCounter(TMultiLangue &Set) {
    QObject::connect(&Set, &TMultiLangue::ChangeLangue, &Set, [this] { ++Count; });
  }
  int Count = 0;
};

TEST(MultiLangue, ReadsFrenchWhateverWasWritten) {
  for (TLangue Written : {TLangue::Anglais, TLangue::Francais, TLangue::Anglais}) {
    TMultiLangue Set;
    Set.setTexte_Francais(QStringLiteral("Mot de passe"));
    Set.setTexte_Anglais(QStringLiteral("Password"));
    Set.setLangue(Written);
    EXPECT_EQ(Set.Langue(), TLangue::Francais);
    EXPECT_EQ(Set.Texte(), QStringLiteral("Mot de passe"));
    EXPECT_EQ(Set.Texte_Anglais(), QStringLiteral("Password"));
  }
}

TEST(MultiLangue, OnlyAChangeOfTheProgramLanguageNotifiesAndOnlyTheSetWritten) {
  TMultiLangue First, Second;
  TCounter FirstCount(First), SecondCount(Second);
  // Whatever earlier tests left, the program runs in French from here.
  First.setLangue(TLangue::Francais);
  FirstCount.Count = 0;

  struct TStep {
    TMultiLangue *Set;
    TLangue Value;
    int First, Second;
  } const Steps[] = {
      {&First, TLangue::Francais, 0, 0},  // unchanged
      {&Second, TLangue::Francais, 0, 0}, // unchanged, whichever set is written
      {&First, TLangue::Anglais, 1, 0},   // changed: only the set written is told
      {&First, TLangue::Anglais, 1, 0},   // unchanged again
      {&Second, TLangue::Anglais, 1, 0},  // the language is the program's, not the set's
      {&Second, TLangue::Francais, 1, 1}, {&First, TLangue::Francais, 1, 1},
  };
  for (const TStep &S : Steps) {
    S.Set->setLangue(S.Value);
    EXPECT_EQ(FirstCount.Count, S.First);
    EXPECT_EQ(SecondCount.Count, S.Second);
  }
}

TEST(MultiLangue, TextsAreAccentedUnicode) {
  TMultiLangue Set;
  Set.setTexte_Francais(QStringLiteral("Etat du contact si défaut du capteur"));
  EXPECT_EQ(Set.Texte().at(20), QChar(0x00E9));
  EXPECT_TRUE(Set.setProperty("Texte_Anglais", QStringLiteral("State on sensor failure")));
  EXPECT_EQ(Set.Texte_Anglais(), QStringLiteral("State on sensor failure"));
}

} // namespace
} // namespace zol
