#include "windows/Error.h"

#include <QLabel>
#include <QPushButton>

#include "ui_Error.h"
#include "windows/Look.h"

namespace zol {

TErrorForm *ErrorForm = nullptr;

TErrorForm::TErrorForm(QWidget *Parent) : QDialog(Parent), ui(std::make_unique<Ui::TErrorForm>()) {
  InitPictures();
  ui->setupUi(this);
  Image2 = ui->Image2;
  Label1 = ui->Label1;
  Button1 = ui->Button1;

  // A sizeable tool window.
  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  resize(243, 129);
  setAttribute(Qt::WA_QuitOnClose, false);

  setFont(PixelFont("MS Sans Serif", 11, QFont::SansSerif));
  Label1->setFont(PixelFont("MS Sans Serif", 19, QFont::SansSerif));

  connect(Button1, &QPushButton::clicked, this, &TErrorForm::Button1Click);
}

TErrorForm::~TErrorForm() = default;

void TErrorForm::Button1Click() {
  close();
}

} // namespace zol
