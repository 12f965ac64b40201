#include "app/Init.h"

#include "app/Main.h"
#include "app/Progress.h"
#include "appcore/FormModel.h"
#include "appcore/LanguageTexts.h"
#include "platform/CodePage.h"
#include "platform/IniFile.h"
#include "platform/MessageBox.h"
#include "widgets/Fonts.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDebug>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

namespace xv4 {
namespace {

// User input is never translated.
bool IsInputControl(const QWidget* w) {
  return qobject_cast<const QLineEdit*>(w) != nullptr ||
         qobject_cast<const QComboBox*>(w) != nullptr ||
         qobject_cast<const QAbstractSpinBox*>(w) != nullptr;
}

QString CaptionOf(const QWidget* w) {
  if (auto* l = qobject_cast<const QLabel*>(w))
    return l->text();
  if (auto* b = qobject_cast<const QAbstractButton*>(w))
    return b->text();
  if (auto* g = qobject_cast<const QGroupBox*>(w))
    return g->title();
  return {};
}

void SetCaptionOf(QWidget* w, const QString& text) {
  if (auto* l = qobject_cast<QLabel*>(w))
    l->setText(text);
  else if (auto* b = qobject_cast<QAbstractButton*>(w))
    b->setText(text);
  else if (auto* g = qobject_cast<QGroupBox*>(w))
    g->setTitle(text);
}

void ExchangeForm(TForm* form, platform::IniFile& ini, bool save, int codePage) {
  const QByteArray section = form->objectName().toLatin1();
  auto read = [&](const QByteArray& key, const QString& current) {
    if (!ini.ValueExists(section, key))
      return current;
    return platform::DecodeText(ini.ReadString(section, key, {}), codePage);
  };
  auto write = [&](const QByteArray& key, const QString& text) {
    ini.WriteString(section, key, platform::EncodeText(text, codePage));
  };

  if (!form->Caption().isEmpty()) {
    if (save)
      write("Caption", form->Caption());
    else
      form->SetCaption(read("Caption", form->Caption()));
  }
  for (const QPointer<QObject>& c : form->Components()) {
    auto* w = qobject_cast<QWidget*>(c.data());
    if (w == nullptr || IsInputControl(w))
      continue;  // non-visual components and input controls
    const QByteArray name = w->objectName().toLatin1();
    const QByteArray textKey = name + ".Caption";
    const QByteArray hintKey = name + ".Hint";
    const QString text = CaptionOf(w);
    const QString hint = w->toolTip();
    if (save) {
      if (!TForm::OwnEnabled(w))
        continue;
      if (!text.isEmpty())
        write(textKey, text);
      if (!hint.isEmpty())
        write(hintKey, hint);
    } else {
      if (!text.isEmpty())
        SetCaptionOf(w, read(textKey, text));
      if (!hint.isEmpty())
        w->setToolTip(read(hintKey, hint));
    }
  }
}

// A static text ends where its field begins, whatever the width of the translated caption.
void AlignBefore(TMainForm* form, const char* label, const char* field) {
  QWidget* l = form->Control(QString::fromLatin1(label));
  const QRect f = form->Control(QString::fromLatin1(field))->geometry();
  const int width = l->sizeHint().width() + 4;  // a small gap before the field
  l->setGeometry(f.left() - width, l->y(), width, l->height());
}

}  // namespace

void TranslateForms(int index) {
  TranslateForms(index, MainForm, ProgressForm);
}

void TranslateForms(int index, TMainForm* mainForm, TProgressForm* progressForm) {
  const bool save = index == 0;
  const LanguageFileInfo info = LanguageFile(index);
  platform::IniFile ini(LanguageFilePath(index));
  // A refused file (not a regular file, too large) changes no text; saving it fails below.
  if (!save && !ini.Error().isEmpty())
    platform::ShowMessageBox(platform::MessageKind::Warning, ini.Error());
  if (mainForm != nullptr) {
    mainForm->setFont(WithCharset(mainForm->font(), info.charset));
    mainForm->update();
  }

  for (TForm* form : {static_cast<TForm*>(mainForm), static_cast<TForm*>(progressForm)}) {
    if (form != nullptr)
      ExchangeForm(form, ini, save, info.codePage);
  }
  if (save)
    SaveLanguageTexts(ini, info.codePage);
  else
    LoadLanguageTexts(ini, info.codePage);

  if (!save && mainForm != nullptr) {
    RefillLanguageLists(*mainForm, index);
    AlignBefore(mainForm, "StaticText1", "IPAddrEd");
    AlignBefore(mainForm, "StaticText2", "IPPortEd");
    AlignBefore(mainForm, "StaticText3", "IdEd");
  }
  if (save) {
    QString error;
    if (!ini.Save(&error))
      qWarning().noquote() << "Language file not written:" << error;
  }
  if (mainForm != nullptr)
    mainForm->update();
}

}  // namespace xv4
