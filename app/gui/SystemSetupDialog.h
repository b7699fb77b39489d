// The port setup dialog: asks for the RTSP port.
#pragma once

#include <QDialog>

#include <cstdint>

#include "app/ResourceTexts.h"

class QLabel;
class QLineEdit;
class QPushButton;

class TFrmSystemSetup : public QDialog {
 public:
  TFrmSystemSetup(const TResourceTexts& texts, int32_t port, QWidget* parent = nullptr);

  QString PortText() const;

 private:
  QLabel* lblPort_;
  QLineEdit* edtPort_;
  QPushButton* btnOK_;
  QPushButton* btnCancel_;
};

// Shows the dialog modally with `port` filled in. True, with `port` set to the new value, only when
// the user confirmed a port that differs from it. Storing and applying it is the caller's part.
bool ShowPortSetupDialog(const TResourceTexts& texts, int32_t& port);
bool ShowPortSetupDialog(int32_t& port);
