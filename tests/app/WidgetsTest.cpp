// The small controls: shadowed label, spin edit, byte-limited edit, radio group.

#include "tests/app/AppFixture.h"
#include "widgets/Edit.h"
#include "widgets/Form.h"
#include "widgets/MyLabel.h"
#include "widgets/RadioGroup.h"
#include "widgets/SpinEdit.h"

#include <QFocusEvent>
#include <QImage>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>

namespace xv4 {
namespace {

int CountPixels(const QImage& image, QColor color) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixelColor(x, y) == color)
        ++n;
    }
  }
  return n;
}

void LeaveField(QWidget* w) {
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(w, &out);
}

TEST(Label3D, StartsWithHighlightShadowAndOnePixelMoreRoom) {
  QLabel plain;
  TLabel3D label;
  EXPECT_EQ(label.ShadowColor(), label.palette().color(QPalette::Active, QPalette::Light));
  EXPECT_EQ(label.size(), plain.size() + QSize(1, 1));
}

TEST(Label3D, PaintsShadowOffsetAndTextInFontOrDisabledColour) {
  TLabel3D label;
  label.setFont(QFont(QStringLiteral("DejaVu Sans"), 14, QFont::Bold));
  label.setText(QStringLiteral("HHHH"));
  label.setGeometry(0, 0, 80, 24);
  label.SetShadowColor(QColor(255, 0, 0));
  QPalette p = label.palette();
  p.setColor(QPalette::Active, QPalette::WindowText, QColor(0, 0, 255));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0, 255, 0));
  label.setPalette(p);

  QImage enabled = label.grab().toImage();
  EXPECT_GT(CountPixels(enabled, QColor(255, 0, 0)), 0) << "shadow";
  EXPECT_GT(CountPixels(enabled, QColor(0, 0, 255)), 0) << "text";
  // The shadow lies one pixel right and down: the text's left column shows no shadow.
  EXPECT_EQ(label.TextColor(), QColor(0, 0, 255));

  label.setEnabled(false);
  QImage disabled = label.grab().toImage();
  EXPECT_GT(CountPixels(disabled, QColor(0, 255, 0)), 0);
  EXPECT_EQ(CountPixels(disabled, QColor(0, 0, 255)), 0);
}

TEST(Label3D, AcceleratorOnlyWithShowAccelCharAndTextCutAt255) {
  TLabel3D label;
  label.setAlignment(Qt::AlignRight);
  EXPECT_TRUE(label.DrawFlags() & Qt::TextShowMnemonic);
  EXPECT_TRUE(label.DrawFlags() & Qt::AlignRight);
  EXPECT_TRUE(label.DrawFlags() & Qt::TextWordWrap);
  label.SetShowAccelChar(false);
  EXPECT_FALSE(label.DrawFlags() & Qt::TextShowMnemonic);
  label.setText(QString(300, QLatin1Char('x')));
  EXPECT_EQ(label.PaintedText().size(), 255);
}

struct SpinCase {
  const char* typed;
  const char* shown;  // what the field holds while the focus stays in it
  int value;          // what the control reports
  int afterLeaving;   // value once the focus has left
};

TEST(SpinEdit, TypingKeepsNumberCharactersAndLeavingClamps) {
  // Limits as the label-probe field: -5 to 5.
  const SpinCase cases[] = {
      {"3", "3", 3, 3},        {"-4", "-4", -4, -4}, {"9", "9", 9, 5},
      {"-12", "-12", -12, -5}, {"a7b", "7", 7, 5},   {"+2", "+2", 2, 2},
      {"-", "-", -5, -5},      {"", "", -5, -5},     {"4.5", "45", 45, 5},
  };
  for (const SpinCase& c : cases) {
    TSpinEdit spin;
    spin.SetLimits(-5, 5);
    spin.SetText(QString());
    QTest::keyClicks(&spin, QString::fromLatin1(c.typed));
    EXPECT_EQ(spin.text(), QString::fromLatin1(c.shown)) << c.typed;
    EXPECT_EQ(spin.Value(), c.value) << c.typed;
    LeaveField(&spin);
    EXPECT_EQ(spin.Value(), c.afterLeaving) << c.typed;
  }
}

TEST(SpinEdit, SetValueClampsAndArrowsStepWithinLimits) {
  TSpinEdit spin;
  spin.SetLimits(30, 900);
  spin.SetValue(1000);
  EXPECT_EQ(spin.text(), "900");
  spin.SetValue(-1);
  EXPECT_EQ(spin.Value(), 30);
  spin.stepBy(1);
  EXPECT_EQ(spin.Value(), 31);
  spin.SetValue(900);
  spin.stepBy(1);
  EXPECT_EQ(spin.Value(), 900);

  TSpinEdit unlimited;  // equal limits: no clamping
  unlimited.SetValue(-77);
  EXPECT_EQ(unlimited.Value(), -77);
}

TEST(SpinEdit, MaxLengthLimitsTyping) {
  TSpinEdit density;
  density.SetLimits(0, 9);
  density.SetMaxLength(1);
  density.SetText(QString());
  QTest::keyClicks(&density, QStringLiteral("12"));
  EXPECT_EQ(density.text(), "1");
}

class Edit936 : public test::AppFixture {};

TEST_F(Edit936, LimitCountsBytesOfTheSystemCodePage) {
  TEdit edit;
  edit.SetMaxLength(5);
  test::TypeText(&edit, QStringLiteral("中文ab"));  // 2 + 2 + 1 bytes; "b" would make 6
  EXPECT_EQ(edit.text(), QStringLiteral("中文a"));
  // Text set by code (restored settings) is not limited.
  edit.setText(QStringLiteral("中文中文中文"));
  EXPECT_EQ(edit.text(), QStringLiteral("中文中文中文"));
}

TEST(RadioGroup, ItemIndexFollowsClicksAndCanBeCleared) {
  TRadioGroup group;
  group.resize(200, 80);
  group.SetItems({"TCP/IP", "RS232"});
  int clicks = 0;
  group.OnClick = [&clicks](QObject*) { ++clicks; };
  EXPECT_EQ(group.ItemIndex(), -1);
  group.SetItemIndex(0);
  EXPECT_EQ(clicks, 0) << "setting the index in code is not a click";
  group.Button(1)->click();
  EXPECT_EQ(group.ItemIndex(), 1);
  EXPECT_EQ(clicks, 1);
  group.SetItemIndex(-1);
  EXPECT_EQ(group.ItemIndex(), -1);
}

}  // namespace
}  // namespace xv4

namespace xv4 {
namespace {

// A form whose key handler does what an operation does to the focus: the progress dialog
// disables the window, and the focused field is left without focus when it comes back.
class FocusDroppingForm : public TForm {
 public:
  FocusDroppingForm() {
    field = Create<QLineEdit>("field", this);
    SetKeyPreview(true);
  }
  QLineEdit* field = nullptr;
  int keys = 0;

 protected:
  bool FormKeyDown(int, Qt::KeyboardModifiers) override {
    ++keys;
    if (QWidget* focus = QApplication::focusWidget())
      focus->clearFocus();
    return false;
  }
};

TEST(FormKeyPreview, KeyReachesTheFormOnceEvenWhenItsHandlerDropsTheFocus) {
  FocusDroppingForm form;
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  form.field->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), form.field);

  // F7 in a field: the field ignores it and it propagates to the form.
  QTest::keyClick(form.field, Qt::Key_F7);
  EXPECT_EQ(form.keys, 1);
  // With nothing focused the form takes the next key itself, once.
  QTest::keyClick(&form, Qt::Key_F7);
  EXPECT_EQ(form.keys, 2);
  QTest::keyClick(&form, Qt::Key_F2);
  EXPECT_EQ(form.keys, 3);
}

}  // namespace
}  // namespace xv4
