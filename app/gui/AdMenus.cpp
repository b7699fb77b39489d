#include "AdMenus.h"

#include <QMenu>

TAdMenuItem::TAdMenuItem(QMenu& owner) : QAction(&owner), font_(owner.font()) {}

void TAdMenuItem::SetItemFont(const QFont& font) {
  font_ = font;
  // The menu draws each item with its action's font.
  setFont(font_);
}
