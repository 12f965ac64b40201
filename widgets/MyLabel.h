#pragma once
// TLabel3D: a label whose text carries a one-pixel shadow, as on the progress dialog's captions.
//
// A QLabel that paints itself: an optional background fill, then the text in ShadowColor moved one
// pixel right and down, then the text in the font colour (the disabled-text colour when the label
// is disabled). UI thread only.

#include <QColor>
#include <QLabel>

namespace xv4 {

class TLabel3D : public QLabel {
  Q_OBJECT
 public:
  // Texts longer than this are cut when painted.
  static constexpr int kMaxPaintedChars = 255;

  explicit TLabel3D(QWidget* parent = nullptr);

  // Default: the palette's button-highlight colour. Setting a different colour repaints.
  QColor ShadowColor() const { return shadowColor_; }
  void SetShadowColor(const QColor& color);

  // With ShowAccelChar an '&' marks the next character as accelerator (underlined, '&' hidden);
  // without it '&' is drawn as it is. On by default.
  bool ShowAccelChar() const { return showAccelChar_; }
  void SetShowAccelChar(bool on);

  // A transparent label leaves its background unpainted. Off by default.
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool on);

  // The text as painted: at most kMaxPaintedChars characters.
  QString PaintedText() const { return text().left(kMaxPaintedChars); }
  // Drawing flags for the current alignment and accelerator setting.
  int DrawFlags() const;
  // Colour of the foreground text: the font colour, or the disabled-text colour when disabled.
  QColor TextColor() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor shadowColor_;
  bool showAccelChar_ = true;
  bool transparent_ = false;
};

}  // namespace xv4
