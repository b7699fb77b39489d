#include "PubTool.h"

#include <QMessageBox>

namespace {

QString& Title() {
  static QString title;
  return title;
}

}  // namespace

const QString& ApplicationTitle() {
  return Title();
}

void SetApplicationTitle(const QString& title) {
  Title() = title;
}

bool AskYesNo(const QString& text) {
  QMessageBox box(QMessageBox::Question, ApplicationTitle(), text,
                  QMessageBox::Yes | QMessageBox::No);
  box.setObjectName(kAskYesNoObjectName);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  return box.exec() == QMessageBox::Yes;
}
