// A sunken panel that shows one colour and reports clicks; it keeps a
// backup of its colour so that a dialog can undo a change on Cancel.
#pragma once

#include <QColor>
#include <QFrame>

class TColorPanel : public QFrame {
  Q_OBJECT

 public:
  explicit TColorPanel(QWidget* parent = nullptr);

  QColor Color() const { return color_; }
  void SetColor(const QColor& color);
  // Copies the colour to the backup / the backup back to the colour.
  void KeepBackup() { backup_ = color_; }
  void RestoreBackup() { SetColor(backup_); }

 signals:
  void Clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  QColor color_ = Qt::black;
  QColor backup_ = Qt::black;
};
