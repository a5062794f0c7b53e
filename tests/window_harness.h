// Driving modal dialogs of the real window from a test: each step waits
// for the next modal widget of its type and acts on it (the action may
// open a further modal dialog; the steps after it handle that one).
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class QFileDialog;
class QMessageBox;
class TMainForm;

bool WaitFor(const std::function<bool()>& done, int ms = 8000);
// Loads run in the background: waits until the window has none running or
// waiting (its log and preview then show the outcome).
bool WaitForLoad(const TMainForm& w);

class ModalSteps {
 public:
  template <class T>
  ModalSteps& Then(std::function<void(T*)> action) {
    steps_.push_back({[](QWidget* w) { return qobject_cast<T*>(w) != nullptr; },
                      [action](QWidget* w) { action(qobject_cast<T*>(w)); }});
    return *this;
  }
  // Starts polling; the steps run from the event loop of the modal dialogs.
  void Start();
  bool Done() const { return !gaveUp_ && next_ == steps_.size(); }
  size_t StepsDone() const { return next_; }

 private:
  struct Step {
    std::function<bool(QWidget*)> matches;
    std::function<void(QWidget*)> act;
  };
  void Poll();

  std::vector<Step> steps_;
  size_t next_ = 0;
  int polls_ = 0;
  int idlePolls_ = 0;
  bool gaveUp_ = false;
  QPointer<QWidget> last_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Picks the filter, enters the path in the save dialog's name field and
// presses its Save button, as a user does it.
void FillSaveDialog(QFileDialog* dialog, const QString& path, int filter);
// Presses the given button of a message box.
void Press(QMessageBox* box, int standardButton);
