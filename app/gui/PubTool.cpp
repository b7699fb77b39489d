#include "PubTool.h"

#include <QMessageBox>
#include <QPushButton>

#include "LanguageFont.h"
#include "app/ResourceTexts.h"

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

void TellUser(QWidget& dialog, const QString& text, const TResourceTexts& texts) {
  QMessageBox box(QMessageBox::Warning, dialog.windowTitle(), text, QMessageBox::Ok, &dialog);
  box.setObjectName(kTellUserObjectName);
  box.button(QMessageBox::Ok)->setText(QString::fromStdString(texts.ok));
  ApplyFormFont(box, texts.font);
  box.exec();
}
