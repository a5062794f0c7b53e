// The progress of a background load: the file's name, a percentage and a
// Cancel button, laid over the bottom of the preview panel.
#pragma once

#include <QFrame>

class QLabel;
class QProgressBar;
class QPushButton;

class TLoadProgress : public QFrame {
  Q_OBJECT

 public:
  explicit TLoadProgress(QWidget* over);

  void SetFileName(const QString& name);
  // 0 to 1000.
  void SetPermille(int permille);
  int Percent() const;
  QPushButton* CancelButton() const { return cancel_; }

 signals:
  void CancelClicked();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* e) override;

 private:
  void Place();

  QLabel* name_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QPushButton* cancel_ = nullptr;
};
