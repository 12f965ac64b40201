#pragma once
// TForm: the base of the tool's windows.
//
// A form owns its components and remembers them in the order in which they were created; the
// settings file and the language files walk that order (Qt's parent/child order is not it).
// Every component carries its name as objectName. With key preview on, the form sees each key
// press before the focused control does (FormKeyDown), through an application event filter.
//
// UI thread only.

#include <QPointer>
#include <QWidget>

#include <vector>

namespace xv4 {

class TForm : public QWidget {
  Q_OBJECT
 public:
  explicit TForm(QWidget* parent = nullptr);
  ~TForm() override;

  // Creates a component owned by this form, names it and appends it to Components().
  template <class T>
  T* Create(const char* name, QWidget* parent) {
    T* c = new T(parent != nullptr ? parent : this);
    Adopt(c, name);
    return c;
  }
  // Appends an existing object (a non-visual component) under the given name.
  void Adopt(QObject* component, const char* name);

  // The components in creation order.
  const std::vector<QPointer<QObject>>& Components() const { return components_; }
  QObject* Component(const QString& name) const;
  template <class T>
  T* Find(const QString& name) const {
    return qobject_cast<T*>(Component(name));
  }

  QString Caption() const { return windowTitle(); }
  void SetCaption(const QString& caption) { setWindowTitle(caption); }

  // Fixed client size (dialog border: the user cannot resize).
  void SetClientSize(int width, int height);
  int ClientHeight() const { return height(); }
  void SetClientHeight(int height) { SetClientSize(width(), height); }

  void SetKeyPreview(bool on);
  bool KeyPreview() const { return keyPreview_; }

  // The control's own Visible and Enabled flags (not inherited from its parents), as the
  // settings and language code mean them.
  static bool OwnVisible(const QWidget* w);
  static bool OwnEnabled(const QWidget* w);

  // Moves the form to the middle of the screen it is on.
  void CenterOnScreen();

 protected:
  // Called with key preview on, before the focused control gets the key. Return true to keep the
  // key from the control.
  virtual bool FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::vector<QPointer<QObject>> components_;
  bool keyPreview_ = false;
  // The key press last given to FormKeyDown, while it propagates to the focused widget's parents.
  struct PreviewedKey {
    const QEvent* event = nullptr;
    quint64 timestamp = 0;
  };
  PreviewedKey previewed_;
};

}  // namespace xv4
