// What the GUI tests share: readable QString failures and a hand on modal dialogs.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QString>
#include <QTimer>

#include <functional>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace gui_test {

// Acts on the modal dialog from inside its exec(). A dialog that the action leaves open, or that
// opens only after it gave up waiting, is rejected by a watchdog: a faulty test fails, never hangs.
class TModalDriver {
 public:
  explicit TModalDriver(std::function<void(QDialog&)> act) : act_(std::move(act)) {
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      poll_.stop();
      acted_ = true;
      act_(*dialog);
    });
    QObject::connect(&watchdog_, &QTimer::timeout, [this] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      timedOut_ = dialog != nullptr;
      if (dialog) dialog->reject();
    });
    poll_.start(0);
    watchdog_.setSingleShot(true);
    watchdog_.start(5000);
  }

  // The action ran and the dialog closed without the watchdog.
  bool Done() const { return acted_ && !timedOut_; }

 private:
  std::function<void(QDialog&)> act_;
  QTimer poll_;
  QTimer watchdog_;
  bool acted_ = false;
  bool timedOut_ = false;
};

}  // namespace gui_test
