#include "controls/PageControl.h"

#include <QButtonGroup>
#include <QResizeEvent>
#include <QShowEvent>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>
#include <QToolButton>

#include <algorithm>

namespace zol {

TPageControl::TPageControl(QWidget *parent) : QTabWidget(parent), FButtons(new QButtonGroup(this)) {
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

void TPageControl::tabInserted(int index) {
  QTabWidget::tabInserted(index);
  RebuildButtons();
}

void TPageControl::tabRemoved(int index) {
  QTabWidget::tabRemoved(index);
  RebuildButtons();
}

void TPageControl::resizeEvent(QResizeEvent *event) {
  LayoutButtons();
  QTabWidget::resizeEvent(event);
}

void TPageControl::showEvent(QShowEvent *event) {
  LayoutButtons();
  QTabWidget::showEvent(event);
}

void TPageControl::initStyleOption(QStyleOptionTabWidgetFrame *option) const {
  QTabWidget::initStyleOption(option);
  // The rows of tab buttons take the place of the tab bar: the style then puts the pages and
  // their frame below them.
  option->tabBarSize = QSize(option->rect.width(), FStripHeight);
  option->tabBarRect = QRect(0, 0, option->rect.width(), FStripHeight);
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
  constexpr int Margin = 2;
  constexpr int Gap = 2;
  int x = Margin;
  int y = Margin;
  int RowHeight = 0;
  for (int i = 0; i < FTabButtons.size(); ++i) {
    QToolButton *Button = FTabButtons[i];
    Button->setText(tabText(i));
    const QSize Hint = Button->sizeHint();
    const int w = std::min(Hint.width(), width() - 2 * Margin);
    // A button that does not fit beside the previous ones starts a new row.
    if (x > Margin && x + w > width() - Margin) {
      x = Margin;
      y += RowHeight + Gap;
      RowHeight = 0;
    }
    Button->setGeometry(x, y, w, Hint.height());
    x += w + Gap;
    RowHeight = std::max(RowHeight, Hint.height());
  }
  const int Strip = FTabButtons.isEmpty() ? 0 : y + RowHeight + Margin;
  if (Strip != FStripHeight) {
    FStripHeight = Strip;
    // Let the tab widget place its pages again below the new rows.
    QResizeEvent Again(size(), size());
    QTabWidget::resizeEvent(&Again);
    update();
  }
}

} // namespace zol
