#include "controls/MyControls.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QMenu>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace zol {
namespace {

const QString kFrench = QStringLiteral("Mot de passe");
const QString kEnglish = QStringLiteral("Password");

/// Makes the program run in French, whatever earlier tests left.
void ProgramInFrench() {
  TMultiLangue Scratch;
  Scratch.setLangue(TLangue::Francais);
}

/// One kind of bilingual control: how to make one and what it shows as its caption.
struct TKind {
  const char *Name;
  std::function<std::unique_ptr<QWidget>(QWidget *Parent)> Make;
  std::function<QString(QWidget &)> Shown;
  /// A caption written directly shows (the check box) rather than being ignored.
  bool ShowsWrittenCaption;
};

void PrintTo(const TKind &C, std::ostream *Out) {
  *Out << C.Name;
}

TLangueControl &Bilingual(QWidget &Widget) {
  return dynamic_cast<TLangueControl &>(Widget);
}

const TKind kKinds[] = {
    {"Label", [](QWidget *P) { return std::make_unique<TLabelLangue>(P); },
     [](QWidget &W) { return static_cast<QLabel &>(W).text(); }, false},
    {"BitBtn", [](QWidget *P) { return std::make_unique<TBitBtnLangue>(P); },
     [](QWidget &W) { return static_cast<QAbstractButton &>(W).text(); }, false},
    {"CheckBox", [](QWidget *P) { return std::make_unique<TCheckBoxLangue>(P); },
     [](QWidget &W) { return static_cast<QAbstractButton &>(W).text(); }, true},
    {"RadioButton", [](QWidget *P) { return std::make_unique<TRadioButtonLangue>(P); },
     [](QWidget &W) { return static_cast<QAbstractButton &>(W).text(); }, false},
    {"GroupBox", [](QWidget *P) { return std::make_unique<TGroupBoxLangue>(P); },
     [](QWidget &W) { return static_cast<QGroupBox &>(W).title(); }, false},
};

class LangueControl : public ::testing::TestWithParam<TKind> {
protected:
  /// A control as a window description leaves it: texts set, languages as given, then loaded.
  std::unique_ptr<QWidget> Loaded(TLangue HintLangue, TLangue CaptionLangue,
                                  QWidget *Parent = nullptr) {
    auto Widget = GetParam().Make(Parent);
    TLangueControl &Control = Bilingual(*Widget);
    Control.HintSet()->setLangue(HintLangue);
    Control.CaptionSet()->setLangue(CaptionLangue);
    Control.CaptionSet()->setTexte_Francais(kFrench);
    Control.CaptionSet()->setTexte_Anglais(kEnglish);
    Control.HintSet()->setTexte_Francais(QStringLiteral("Saisir le mot de passe"));
    Control.HintSet()->setTexte_Anglais(QStringLiteral("Type the password"));
    Control.PropertiesLoaded();
    return Widget;
  }
};

TEST_P(LangueControl, ShowsFrenchWhateverLanguageWasAssigned) {
  for (TLangue Hint : {TLangue::Anglais, TLangue::Francais}) {
    for (TLangue Caption : {TLangue::Anglais, TLangue::Francais}) {
      auto Widget = Loaded(Hint, Caption);
      EXPECT_EQ(GetParam().Shown(*Widget), kFrench);
      EXPECT_EQ(Bilingual(*Widget).Caption(), kFrench);
      EXPECT_EQ(Widget->toolTip(), QStringLiteral("Saisir le mot de passe"));
    }
  }
}

TEST_P(LangueControl, NewTextsShowAtTheNextRepaintNotBefore) {
  auto Widget = Loaded(TLangue::Francais, TLangue::Francais);
  TLangueControl &Control = Bilingual(*Widget);
  Control.CaptionSet()->setTexte_Francais(QStringLiteral("Mot de passe perdu"));
  EXPECT_EQ(GetParam().Shown(*Widget), kFrench);
  Control.Repaint();
  EXPECT_EQ(GetParam().Shown(*Widget), QStringLiteral("Mot de passe perdu"));
}

TEST_P(LangueControl, EnglishWrittenAfterLoadingNotifiesOnceAndFrenchStays) {
  ProgramInFrench();
  auto Widget = Loaded(TLangue::Francais, TLangue::Francais);
  TLangueControl &Control = Bilingual(*Widget);
  int CaptionNotes = 0, HintNotes = 0;
  QObject::connect(Control.CaptionSet(), &TMultiLangue::ChangeLangue, [&] { ++CaptionNotes; });
  QObject::connect(Control.HintSet(), &TMultiLangue::ChangeLangue, [&] { ++HintNotes; });
  // Changed behind the control's back: the notification is what puts it on screen.
  Control.CaptionSet()->setTexte_Francais(QStringLiteral("Nouveau"));

  Control.CaptionSet()->setLangue(TLangue::Anglais);
  EXPECT_EQ(CaptionNotes, 1);
  EXPECT_EQ(HintNotes, 0);
  EXPECT_EQ(GetParam().Shown(*Widget), QStringLiteral("Nouveau"));

  Control.CaptionSet()->setTexte_Francais(QStringLiteral("Encore"));
  Control.CaptionSet()->setLangue(TLangue::Anglais);
  Control.HintSet()->setLangue(TLangue::Anglais);
  EXPECT_EQ(CaptionNotes, 1);
  EXPECT_EQ(HintNotes, 0);
  EXPECT_EQ(GetParam().Shown(*Widget), QStringLiteral("Nouveau"));

  Control.HintSet()->setLangue(TLangue::Francais);
  EXPECT_EQ(HintNotes, 1);
  EXPECT_EQ(GetParam().Shown(*Widget), QStringLiteral("Encore"));
}

TEST_P(LangueControl, WritingTheCaption) {
  auto Widget = Loaded(TLangue::Francais, TLangue::Francais);
  TLangueControl &Control = Bilingual(*Widget);
  Control.setCaption(QStringLiteral("Autre"));
  EXPECT_EQ(GetParam().Shown(*Widget),
            GetParam().ShowsWrittenCaption ? QStringLiteral("Autre") : kFrench);
  // Reading gives the set's text either way.
  EXPECT_EQ(Control.Caption(), kFrench);
  Control.Repaint();
  EXPECT_EQ(GetParam().Shown(*Widget), kFrench);

  Control.setCaption(QStringLiteral("Autre"));
  Control.ApplyLangue();
  EXPECT_EQ(GetParam().Shown(*Widget), kFrench);
}

TEST_P(LangueControl, HintReadsTheSetNotWhatWasWritten) {
  auto Widget = Loaded(TLangue::Francais, TLangue::Francais);
  TLangueControl &Control = Bilingual(*Widget);
  Control.setHint(QStringLiteral("Ecrit directement"));
  EXPECT_EQ(Widget->toolTip(), QStringLiteral("Ecrit directement"));
  EXPECT_EQ(Control.Hint(), QStringLiteral("Saisir le mot de passe"));
  Control.Repaint();
  EXPECT_EQ(Widget->toolTip(), QStringLiteral("Saisir le mot de passe"));
  // An empty set clears the hint.
  Control.HintSet()->setTexte_Francais(QString());
  Control.ApplyLangue();
  EXPECT_TRUE(Widget->toolTip().isEmpty());
}

TEST_P(LangueControl, EmptySetsShowNothing) {
  auto Widget = GetParam().Make(nullptr);
  Bilingual(*Widget).PropertiesLoaded();
  EXPECT_TRUE(GetParam().Shown(*Widget).isEmpty());
  EXPECT_TRUE(Widget->toolTip().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, LangueControl, ::testing::ValuesIn(kKinds),
                         [](const auto &Info) { return std::string(Info.param.Name); });

/// A bilingual label that counts its repaints and, to try the one-level rule, asks for a full
/// language refresh of its own from within each repaint.
class EagerLabel : public TLabelLangue {
public:
  using TLabelLangue::TLabelLangue;
  int Repaints = 0;
  void Repaint() override {
    ++Repaints;
    TLabelLangue::Repaint();
    ApplyLangue();
  }
};

TEST(LangueSiblings, RefreshGoesOneLevelDeep) {
  QWidget Parent;
  auto *Self = new TLabelLangue(&Parent);
  auto *Check = new TCheckBoxLangue(&Parent);
  auto *Group = new TGroupBoxLangue(&Parent);
  auto *Inner = new TLabelLangue(Group);
  auto *First = new EagerLabel(&Parent);
  auto *Second = new EagerLabel(&Parent);
  auto *Plain = new QLabel(QStringLiteral("simple"), &Parent);
  const std::pair<TLangueControl *, const char *> Texts[] = {
      {Self, "Soi"},     {Check, "Case"},    {Group, "Groupe"},
      {Inner, "Dedans"}, {First, "Premier"}, {Second, "Second"}};
  for (const auto &[Control, Text] : Texts)
    Control->CaptionSet()->setTexte_Francais(QString::fromUtf8(Text));
  Check->setCaption(QStringLiteral("Ecrit"));

  Self->ApplyLangue();

  EXPECT_EQ(Self->text(), QStringLiteral("Soi"));
  EXPECT_EQ(Check->text(), QStringLiteral("Case")) << "a sibling's repaint re-applies its set";
  EXPECT_EQ(Group->title(), QStringLiteral("Groupe"));
  EXPECT_EQ(First->text(), QStringLiteral("Premier"));
  EXPECT_EQ(Second->text(), QStringLiteral("Second"));
  EXPECT_TRUE(Inner->text().isEmpty()) << "children of a sibling are not refreshed";
  EXPECT_EQ(Plain->text(), QStringLiteral("simple"));
  // Each eager sibling's own refresh request did not start a second round.
  EXPECT_EQ(First->Repaints, 1);
  EXPECT_EQ(Second->Repaints, 1);

  // The refresh is over: the next control to apply its language refreshes its siblings again.
  Check->setCaption(QStringLiteral("Ecrit"));
  Group->ApplyLangue();
  EXPECT_EQ(Check->text(), QStringLiteral("Case"));
  EXPECT_EQ(First->Repaints, 2);
  EXPECT_EQ(Second->Repaints, 2);
}

TEST(LangueSiblings, ChangeOfLanguageRefreshesTheSiblingsOfTheSetsControl) {
  ProgramInFrench();
  QWidget Parent;
  auto *Label = new TLabelLangue(&Parent);
  auto *Check = new TCheckBoxLangue(&Parent);
  Check->CaptionSet()->setTexte_Francais(QStringLiteral("Fermé"));
  Check->setCaption(QStringLiteral("Ecrit"));
  Label->HintSet()->setLangue(TLangue::Anglais);
  EXPECT_EQ(Check->text(), QStringLiteral("Fermé"));
  Label->HintSet()->setLangue(TLangue::Francais);
}

TEST(LangueSiblings, ControlWithoutParentOnlyAppliesItsOwnTexts) {
  TGroupBoxLangue Alone;
  Alone.CaptionSet()->setTexte_Francais(QStringLiteral("Déclenchement"));
  Alone.ApplyLangue();
  EXPECT_EQ(Alone.title(), QStringLiteral("Déclenchement"));
}

TEST(LangueSiblings, FormLoadedReachesEveryBilingualControl) {
  QWidget Form;
  auto *Group = new TGroupBoxLangue(&Form);
  auto *Radio = new TRadioButtonLangue(Group);
  auto *Button = new TBitBtnLangue(&Form);
  Group->CaptionSet()->setTexte_Francais(QStringLiteral("Contact"));
  Radio->CaptionSet()->setTexte_Francais(QStringLiteral("Normalement fermé"));
  Button->CaptionSet()->setTexte_Francais(QStringLiteral("Ferme le programme"));
  FormLoaded(&Form);
  EXPECT_EQ(Group->title(), QStringLiteral("Contact"));
  EXPECT_EQ(Radio->text(), QStringLiteral("Normalement fermé"));
  EXPECT_EQ(Button->text(), QStringLiteral("Ferme le programme"));
  FormLoaded(nullptr);
}

// ---- TBitBtnAlt ----

/// Right-clicks the button as the user would.
void RightClick(TBitBtnAlt &Button) {
  const QPoint At(5, 5);
  QContextMenuEvent Event(QContextMenuEvent::Mouse, At, Button.mapToGlobal(At));
  QCoreApplication::sendEvent(&Button, &Event);
}

/// Counts a button's two actions.
struct TActions {
  explicit TActions(TBitBtnAlt &Button) {
    QObject::connect(&Button, &QPushButton::clicked, &Button, [this] { ++Clicks; });
    QObject::connect(&Button, &TBitBtnAlt::AltClick, &Button, [this] { ++AltClicks; });
  }
  int Clicks = 0;
  int AltClicks = 0;
};

class BitBtnAltMenu : public ::testing::TestWithParam<int> {};

TEST_P(BitBtnAltMenu, OffersWhatTheMenuHolds) {
  const int Entries = GetParam();
  QWidget Window;
  auto *Button = new TBitBtnAlt(&Window);
  QMenu Menu;
  const char *Names[] = {"Envoyer", "Relire", "Autre"};
  for (int i = 0; i < Entries; ++i)
    Menu.addAction(QString::fromLatin1(Names[i]));
  Button->setPopupMenu(&Menu);
  Window.show();
  TActions Count(*Button);

  RightClick(*Button);
  EXPECT_EQ(Menu.isVisible(), Entries > 0);
  const QList<QAction *> Actions = Menu.actions();
  for (int i = 0; i < Entries; ++i) {
    Actions.at(i)->trigger();
    EXPECT_EQ(Count.Clicks, 1) << "after entry " << i;
    EXPECT_EQ(Count.AltClicks, Entries >= 2 && i >= 1 ? 1 : 0) << "after entry " << i;
  }
  Menu.hide();
  EXPECT_EQ(Count.Clicks, Entries > 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Entries, BitBtnAltMenu, ::testing::Values(0, 1, 2, 3));

TEST(BitBtnAlt, WithoutAMenuNothingShowsAndNothingRuns) {
  QWidget Window;
  auto *Button = new TBitBtnAlt(&Window);
  Window.show();
  TActions Count(*Button);
  RightClick(*Button);
  EXPECT_EQ(Count.Clicks, 0);
  EXPECT_EQ(Count.AltClicks, 0);
  EXPECT_EQ(Button->PopupMenu(), nullptr);
}

TEST(BitBtnAlt, SharedMenuServesTheButtonRightClickedLast) {
  QWidget Window;
  QMenu Menu;
  Menu.addAction(QStringLiteral("Envoyer"));
  Menu.addAction(QStringLiteral("Relire"));
  TBitBtnAlt *Buttons[] = {new TBitBtnAlt(&Window), new TBitBtnAlt(&Window),
                           new TBitBtnAlt(&Window), new TBitBtnAlt(&Window)};
  std::vector<std::unique_ptr<TActions>> Counts;
  for (TBitBtnAlt *Button : Buttons) {
    Button->setPopupMenu(&Menu);
    Counts.push_back(std::make_unique<TActions>(*Button));
  }
  Window.show();

  // Right-click order, and the entry chosen each time.
  const std::pair<int, int> Steps[] = {{0, 1}, {2, 1}, {2, 0}, {1, 0}, {3, 1}, {0, 0}};
  std::vector<int> Clicks(4, 0), AltClicks(4, 0);
  for (const auto &[Which, Entry] : Steps) {
    RightClick(*Buttons[Which]);
    ASSERT_TRUE(Menu.isVisible());
    Menu.actions().at(Entry)->trigger();
    Menu.hide();
    ++(Entry == 0 ? Clicks : AltClicks)[Which];
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(Counts[i]->Clicks, Clicks[i]) << "button " << i;
      EXPECT_EQ(Counts[i]->AltClicks, AltClicks[i]) << "button " << i;
    }
  }
}

TEST(BitBtnAlt, ADeletedButtonLeavesTheSharedMenuUsable) {
  QWidget Window;
  QMenu Menu;
  Menu.addAction(QStringLiteral("Envoyer"));
  Menu.addAction(QStringLiteral("Relire"));
  auto *Gone = new TBitBtnAlt(&Window);
  auto *Stays = new TBitBtnAlt(&Window);
  Gone->setPopupMenu(&Menu);
  Stays->setPopupMenu(&Menu);
  Window.show();
  TActions Count(*Stays);
  RightClick(*Gone);
  Menu.hide();
  delete Gone;
  Menu.actions().at(1)->trigger(); // bound to nothing now: must not crash
  RightClick(*Stays);
  Menu.actions().at(1)->trigger();
  EXPECT_EQ(Count.AltClicks, 1);
  EXPECT_EQ(Count.Clicks, 0);
}

} // namespace
} // namespace zol
