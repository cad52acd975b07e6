#include "controls/PageControl.h"

#include <QButtonGroup>
#include <QResizeEvent>
#include <QShowEvent>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>
#include <QToolButton>

#include <algorithm>

namespace zol {

TPageControl::TPageControl(QWidget *Parent) : QTabWidget(Parent), FButtons(new QButtonGroup(this)) {
  tabBar()->hide();
  FButtons->setExclusive(true);
  connect(FButtons, &QButtonGroup::idClicked, this, &QTabWidget::setCurrentIndex);
  connect(this, &QTabWidget::currentChanged, this, [this](int Index) {
    if (QToolButton *Button = tabButton(Index))
      Button->setChecked(true);
  });
}

void TPageControl::setPageCaption(int Index, const QString &Caption) {
  setTabText(Index, Caption);
  LayoutButtons();
}

QToolButton *TPageControl::tabButton(int Index) const {
  return Index >= 0 && Index < FTabButtons.size() ? FTabButtons[Index] : nullptr;
}

void TPageControl::tabInserted(int Index) {
  QTabWidget::tabInserted(Index);
  RebuildButtons();
}

void TPageControl::tabRemoved(int Index) {
  QTabWidget::tabRemoved(Index);
  RebuildButtons();
}

void TPageControl::resizeEvent(QResizeEvent *Event) {
  LayoutButtons();
  QTabWidget::resizeEvent(Event);
}

void TPageControl::showEvent(QShowEvent *Event) {
  LayoutButtons();
  QTabWidget::showEvent(Event);
}

void TPageControl::initStyleOption(QStyleOptionTabWidgetFrame *Option) const {
  QTabWidget::initStyleOption(Option);
  // The rows of tab buttons take the place of the tab bar: the style then puts the pages and
  // their frame below them.
  Option->tabBarSize = QSize(Option->rect.width(), FStripHeight);
  Option->tabBarRect = QRect(0, 0, Option->rect.width(), FStripHeight);
}

void TPageControl::RebuildButtons() {
  for (QToolButton *Button : FTabButtons) {
    FButtons->removeButton(Button);
    delete Button;
  }
  FTabButtons.clear();
  for (int i = 0; i < count(); ++i) {
    auto *Button = new QToolButton(this);
    Button->setObjectName(QStringLiteral("TabButton%1").arg(i));
    Button->setText(tabText(i));
    Button->setCheckable(true);
    Button->setAutoRaise(true);
    Button->setFocusPolicy(Qt::TabFocus);
    Button->setChecked(i == currentIndex());
    Button->show();
    FButtons->addButton(Button, i);
    FTabButtons.append(Button);
  }
  LayoutButtons();
}

void TPageControl::LayoutButtons() {
  constexpr int kMargin = 2;
  constexpr int kGap = 2;
  int x = kMargin;
  int y = kMargin;
  int RowHeight = 0;
  for (int i = 0; i < FTabButtons.size(); ++i) {
    QToolButton *Button = FTabButtons[i];
    Button->setText(tabText(i));
    const QSize Hint = Button->sizeHint();
    const int w = std::min(Hint.width(), width() - 2 * kMargin);
    // A button that does not fit beside the previous ones starts a new row.
    if (x > kMargin && x + w > width() - kMargin) {
      x = kMargin;
      y += RowHeight + kGap;
      RowHeight = 0;
    }
    Button->setGeometry(x, y, w, Hint.height());
    x += w + kGap;
    RowHeight = std::max(RowHeight, Hint.height());
  }
  const int Strip = FTabButtons.isEmpty() ? 0 : y + RowHeight + kMargin;
  if (Strip != FStripHeight) {
    FStripHeight = Strip;
    // Let the tab widget place its pages again below the new rows.
    QResizeEvent Again(size(), size());
    QTabWidget::resizeEvent(&Again);
    update();
  }
}

} // namespace zol
