// The pieces the tray's small dialogs are made of: a fixed-size window centred on the screen, a
// plain band across the top and buttons of one size. Every piece carries an object name, so tests
// and screenshots can find it.
#pragma once

#include <QString>

class QDialog;
class QLabel;
class QPushButton;
class QWidget;

// A dialog of fixed client size with only a title bar and a close box.
void MakeFixedDialog(QDialog& dialog, int width, int height);
// Puts the window in the middle of the screen it is on.
void CenterOnScreen(QWidget& window);
// A band across the top of the dialog, `height` pixels high, with a line at its bottom.
void AddTopBand(QDialog& dialog, int height, const char* objectName);
QPushButton* AddButton(QDialog& dialog, const char* objectName, int left, int top);
QLabel* AddLabel(QWidget& parent, const char* objectName, int left, int top);
