#include "DialogParts.h"

#include <QDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {

constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

}  // namespace

void MakeFixedDialog(QDialog& dialog, int width, int height) {
  dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        Qt::WindowCloseButtonHint);
  dialog.setFixedSize(width, height);
}

void CenterOnScreen(QWidget& window) {
  const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = window.frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

void AddTopBand(QDialog& dialog, int height, const char* objectName) {
  auto* band = new QFrame(&dialog);
  band->setObjectName(objectName);
  band->setGeometry(0, 0, dialog.width(), height);
  band->setAutoFillBackground(true);
  band->setBackgroundRole(QPalette::Base);
  band->lower();
  auto* line = new QFrame(&dialog);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  line->setGeometry(0, height - 2, dialog.width(), 2);
}

QPushButton* AddButton(QDialog& dialog, const char* objectName, int left, int top) {
  auto* button = new QPushButton(&dialog);
  button->setObjectName(objectName);
  button->setGeometry(left, top, kButtonWidth, kButtonHeight);
  return button;
}

QLabel* AddLabel(QWidget& parent, const char* objectName, int left, int top) {
  auto* label = new QLabel(&parent);
  label->setObjectName(objectName);
  label->move(left, top);
  return label;
}
