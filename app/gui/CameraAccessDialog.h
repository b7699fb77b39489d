// The Camera Access dialog: who may watch (a user and password, or nobody asked for one) and the
// address the camera listens on.
#pragma once

#include <QDialog>

#include "app/ResourceTexts.h"
#include "config/Settings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TFrmCameraAccess : public QDialog {
 public:
  TFrmCameraAccess(const TResourceTexts& texts, const TCameraAccess& access,
                   QWidget* parent = nullptr);

  // The entries as they would be stored; AllowBasic is not shown and stays as it was given.
  TCameraAccess Entered() const;

  // OK closes the dialog only with entries that can be stored; otherwise the user is told why and
  // goes on editing.
  void accept() override;

 private:
  void LayOut();

  TResourceTexts texts_;
  bool allowBasic_;
  QLabel* lblUser_;
  QLineEdit* edtUser_;
  QLabel* lblPassword_;
  QLineEdit* edtPassword_;
  QCheckBox* chkShowPassword_;
  QLabel* lblBind_;
  QLineEdit* edtBind_;
  QLabel* lblBindHint_;
  QCheckBox* chkOnvif_;
  QPushButton* btnOK_;
  QPushButton* btnCancel_;
};

// Shows the dialog modally with `access` filled in. True, with `access` set to the new values, only
// when the user confirmed values that differ from it. Storing and applying them is the caller's.
bool ShowCameraAccessDialog(const TResourceTexts& texts, TCameraAccess& access);
bool ShowCameraAccessDialog(TCameraAccess& access);
