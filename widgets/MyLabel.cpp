#include "widgets/MyLabel.h"

#include <QPainter>

namespace xv4 {

TLabel3D::TLabel3D(QWidget* parent) : QLabel(parent) {
  shadowColor_ = palette().color(QPalette::Active, QPalette::Light);
  // One more pixel each way, so the shadow of the last column and row stays inside.
  resize(width() + 1, height() + 1);
}

void TLabel3D::SetShadowColor(const QColor& color) {
  if (color == shadowColor_)
    return;
  shadowColor_ = color;
  update();
}

void TLabel3D::SetShowAccelChar(bool on) {
  if (on == showAccelChar_)
    return;
  showAccelChar_ = on;
  update();
}

void TLabel3D::SetTransparent(bool on) {
  if (on == transparent_)
    return;
  transparent_ = on;
  update();
}

int TLabel3D::DrawFlags() const {
  int flags = Qt::AlignTop | Qt::TextExpandTabs | Qt::TextWordWrap;
  const Qt::Alignment h = alignment() & Qt::AlignHorizontal_Mask;
  if (h & Qt::AlignRight)
    flags |= Qt::AlignRight;
  else if (h & Qt::AlignHCenter)
    flags |= Qt::AlignHCenter;
  else
    flags |= Qt::AlignLeft;
  if (showAccelChar_)
    flags |= Qt::TextShowMnemonic;
  return flags;
}

QColor TLabel3D::TextColor() const {
  return isEnabled() ? palette().color(QPalette::Active, QPalette::WindowText)
                     : palette().color(QPalette::Disabled, QPalette::WindowText);
}

void TLabel3D::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = rect();
  if (!transparent_)
    painter.fillRect(area, palette().color(QPalette::Window));
  painter.setFont(font());
  const QString shown = PaintedText();
  const int flags = DrawFlags();
  painter.setPen(shadowColor_);
  painter.drawText(area.translated(1, 1), flags, shown);
  painter.setPen(TextColor());
  painter.drawText(area, flags, shown);
}

}  // namespace xv4
