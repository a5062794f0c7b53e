#include "window_harness.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/mainform.h"

bool WaitForLoad(const TMainForm& w) {
  return WaitFor([&] { return !w.Loading(); });
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  for (int waited = 0; !done(); waited += 10) {
    if (waited >= ms) return false;
    QTest::qWait(10);
  }
  return true;
}

void ModalSteps::Start() {
  std::weak_ptr<bool> alive = alive_;
  QTimer::singleShot(10, [this, alive] {
    if (alive.lock()) Poll();
  });
}

void ModalSteps::Poll() {
  if (gaveUp_) return;
  QWidget* w = QApplication::activeModalWidget();
  if (next_ == steps_.size()) {
    // Every step ran; a dialog still open two seconds later was not
    // expected: close it so that the test fails instead of hanging.
    if (!w) return;
    if (++idlePolls_ > 200) {
      gaveUp_ = true;
      w->close();
    }
    Start();
    return;
  }
  Start();  // keep polling inside the nested loops the actions open
  if (++polls_ > 2000) {
    // A step never came: close whatever is open.
    if (w) w->close();
    if (polls_ > 2500) gaveUp_ = true;
    return;
  }
  if (!w || !w->isVisible() || w == last_ || !steps_[next_].matches(w)) return;
  last_ = w;
  const Step& step = steps_[next_++];
  step.act(w);
}

void FillSaveDialog(QFileDialog* dialog, const QString& path, int filter) {
  auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
  auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  auto* buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
  QPushButton* save = buttons ? buttons->button(QDialogButtonBox::Save) : nullptr;
  if (!types || !name || !save) {
    dialog->reject();
    return;
  }
  types->setCurrentIndex(filter);
  emit types->activated(filter);
  name->setText(path);
  save->click();
}

void Press(QMessageBox* box, int standardButton) {
  if (QAbstractButton* b = box->button(static_cast<QMessageBox::StandardButton>(standardButton)))
    b->click();
  else
    box->reject();
}
