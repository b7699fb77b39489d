// A tray-menu item that shows its caption in a font of its own, so that every language's captions
// come out in a face that can write them.
#pragma once

#include <QAction>
#include <QFont>

class QMenu;

class TAdMenuItem : public QAction {
 public:
  explicit TAdMenuItem(QMenu& owner);

  const QFont& ItemFont() const { return font_; }
  void SetItemFont(const QFont& font);

 private:
  QFont font_;
};
