#include "controls/MyControls.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>

namespace zol {

namespace {

/// True while a bilingual control refreshes the other controls of its parent; keeps a sibling's
/// refresh from starting a refresh of its own. User-interface thread only.
bool RefreshingSiblings = false;

/// Clears RefreshingSiblings however the refresh ends.
class TSiblingRefresh {
public:
  TSiblingRefresh() { RefreshingSiblings = true; }
  ~TSiblingRefresh() { RefreshingSiblings = false; }
  TSiblingRefresh(const TSiblingRefresh &) = delete;
  TSiblingRefresh &operator=(const TSiblingRefresh &) = delete;
};

} // namespace

TLangueControl::TLangueControl(QWidget *Self)
    : FSelf(Self), FHintSet(std::make_unique<TMultiLangue>()),
      FCaptionSet(std::make_unique<TMultiLangue>()) {
  // The widget is the context of both connections: they go with whichever dies first.
  QObject::connect(FHintSet.get(), &TMultiLangue::ChangeLangue, FSelf, [this] { ApplyLangue(); });
  QObject::connect(FCaptionSet.get(), &TMultiLangue::ChangeLangue, FSelf,
                   [this] { ApplyLangue(); });
}

TLangueControl::~TLangueControl() = default;

void TLangueControl::setHint(const QString &Text) {
  FSelf->setToolTip(Text);
}

void TLangueControl::PropertiesLoaded() {
  ApplyLangue();
}

void TLangueControl::Repaint() {
  setCaption(Caption());
  setHint(Hint());
  FSelf->repaint();
}

void TLangueControl::ApplyLangue() {
  setCaption(Caption());
  setHint(Hint());

  QWidget *Parent = FSelf->parentWidget();
  if (Parent == nullptr || RefreshingSiblings)
    return;
  const TSiblingRefresh Guard;
  // A copy: a refresh may add or remove children of the parent.
  const QObjectList Siblings = Parent->children();
  for (QObject *Child : Siblings) {
    auto *Sibling = qobject_cast<QWidget *>(Child);
    if (Sibling == nullptr || Sibling == FSelf || Sibling->isWindow())
      continue;
    if (auto *Bilingual = dynamic_cast<TLangueControl *>(Sibling))
      Bilingual->Repaint();
    else
      Sibling->repaint();
  }
}

void FormLoaded(QWidget *Form) {
  if (Form == nullptr)
    return;
  if (auto *Control = dynamic_cast<TLangueControl *>(Form))
    Control->PropertiesLoaded();
  const QList<QWidget *> Children = Form->findChildren<QWidget *>();
  for (QWidget *Child : Children) {
    if (auto *Control = dynamic_cast<TLangueControl *>(Child))
      Control->PropertiesLoaded();
  }
}

TLabelLangue::TLabelLangue(QWidget *Parent) : QLabel(Parent), TLangueControl(this) {}

void TLabelLangue::setCaption(const QString &) {
  setText(Caption());
}

TBitBtnLangue::TBitBtnLangue(QWidget *Parent) : QPushButton(Parent), TLangueControl(this) {}

void TBitBtnLangue::setCaption(const QString &) {
  setText(Caption());
}

TCheckBoxLangue::TCheckBoxLangue(QWidget *Parent) : QCheckBox(Parent), TLangueControl(this) {}

void TCheckBoxLangue::setCaption(const QString &Text) {
  setText(Text);
}

TRadioButtonLangue::TRadioButtonLangue(QWidget *Parent)
    : QRadioButton(Parent), TLangueControl(this) {}

void TRadioButtonLangue::setCaption(const QString &) {
  setText(Caption());
}

TGroupBoxLangue::TGroupBoxLangue(QWidget *Parent) : QGroupBox(Parent), TLangueControl(this) {}

void TGroupBoxLangue::setCaption(const QString &) {
  setTitle(Caption());
}

namespace {

/// The present binding of a context menu's first two entries, kept on the menu itself so that
/// the buttons sharing the menu can undo one another's binding.
class TMenuBinding final : public QObject {
public:
  using QObject::QObject;
  QMetaObject::Connection Normal;
  QMetaObject::Connection Alt;
};

TMenuBinding *BindingOf(QMenu *Menu) {
  static const QString Name = QStringLiteral("zol-TBitBtnAlt-binding");
  const QList<QObject *> Found = Menu->findChildren<QObject *>(Name, Qt::FindDirectChildrenOnly);
  for (QObject *Object : Found) {
    if (auto *Binding = dynamic_cast<TMenuBinding *>(Object))
      return Binding;
  }
  auto *Binding = new TMenuBinding(Menu);
  Binding->setObjectName(Name);
  return Binding;
}

} // namespace

TBitBtnAlt::TBitBtnAlt(QWidget *Parent) : QPushButton(Parent) {}

void TBitBtnAlt::contextMenuEvent(QContextMenuEvent *Event) {
  // Whatever happens below, the event stops here: without a usable menu nothing shows.
  Event->accept();
  if (FPopupMenu == nullptr)
    return;
  const QList<QAction *> Entries = FPopupMenu->actions();
  if (Entries.isEmpty())
    return;

  // The menu may have served another button last time: undo that binding before making ours.
  TMenuBinding *Binding = BindingOf(FPopupMenu);
  QObject::disconnect(Binding->Normal);
  QObject::disconnect(Binding->Alt);
  Binding->Normal =
      connect(Entries.at(0), &QAction::triggered, this, [this] { emit clicked(isChecked()); });
  if (Entries.size() >= 2)
    Binding->Alt = connect(Entries.at(1), &QAction::triggered, this, &TBitBtnAlt::AltClick);
  FPopupMenu->popup(Event->globalPos());
}

} // namespace zol
