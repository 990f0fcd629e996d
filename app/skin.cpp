// skin.cpp: switching between the program's own look and the desktop's.
#include "app/skin.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

namespace zamo {
namespace {

bool skin_on = false;

// The style and palette the application had before the skin was first
// switched on: what "off" gives back.
struct DesktopLook {
  QString style_name;
  QPalette palette;
  bool saved = false;
};

DesktopLook& Desktop() {
  static DesktopLook look;
  return look;
}

void SaveDesktopLook() {
  DesktopLook& look = Desktop();
  if (look.saved) return;
  look.style_name = QApplication::style()->name();
  look.palette = QApplication::palette();
  look.saved = true;
}

// A light, slightly blue look, close to the program's historical skin.
QPalette SkinPalette() {
  QPalette p;
  const QColor window(0xE4, 0xEC, 0xF7);
  const QColor base(0xFF, 0xFF, 0xFF);
  const QColor text(0x1E, 0x29, 0x3B);
  const QColor button(0xD9, 0xE4, 0xF3);
  const QColor highlight(0x33, 0x6E, 0xC4);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, QColor(0xF2, 0xF6, 0xFC));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, button);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::Highlight, highlight);
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xE1));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::Link, highlight);
  p.setColor(QPalette::PlaceholderText, QColor(0x7A, 0x86, 0x99));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x8C, 0x96, 0xA6));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x8C, 0x96, 0xA6));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x8C, 0x96, 0xA6));
  return p;
}

}  // namespace

void SetSkinOn(bool on) {
  SaveDesktopLook();
  if (on) {
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
    QApplication::setPalette(SkinPalette());
  } else {
    const DesktopLook& look = Desktop();
    if (QStyle* style = QStyleFactory::create(look.style_name)) QApplication::setStyle(style);
    QApplication::setPalette(look.palette);
  }
  skin_on = on;
  // Every widget takes the new palette now, windows opened before included.
  QEvent change(QEvent::ApplicationPaletteChange);
  for (QWidget* widget : QApplication::allWidgets()) QCoreApplication::sendEvent(widget, &change);
}

bool SkinOn() { return skin_on; }

}  // namespace zamo
