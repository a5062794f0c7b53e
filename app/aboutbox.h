// The About box: how to work the preview, and the version.
#pragma once

#include <QDialog>

class QLabel;
class QTabWidget;
class QStackedWidget;

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent = nullptr);

  // 0 "プレビュー操作", 1 "バージョン情報".
  void ShowPage(int page);
  int Page() const;
  void SetVersionText(const QString& text);
  QString VersionText() const;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  QTabWidget* tabs_;
  QLabel* version_;
};
