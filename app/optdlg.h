// The options dialog: preview colours, edge detection angle, JPEG quality
// and the two archive options. It lives as long as the main window and is
// only shown and hidden; the main window fills it before showing it and
// takes its values after OK.
#pragma once

#include <QDialog>
#include <cstdint>

#include "app/settings.h"

class QCheckBox;
class QPushButton;
class TColorPanel;
class TPView;
class TUpDownEdit;

class TOptDlg : public QDialog {
  Q_OBJECT

 public:
  // preview receives the panel colours on OK (may be null).
  explicit TOptDlg(TPView* preview, QWidget* parent = nullptr);

  // Colours as the settings hold them: red in the low byte.
  static uint32_t RgbOf(const QColor& color);
  static QColor ColorOf(uint32_t rgb);

  // Copies each colour panel's colour to its backup (before every showing).
  void KeepColorBackups();

  // Angle, quality and the cache and ".exe" flags from / to the settings;
  // the angle stays a floating-point value, the quality is truncated.
  void LoadValues(const AppSettings& s);
  void StoreValues(AppSettings& s) const;
  // The background and object colours from / to the settings.
  void LoadColors(const AppSettings& s);
  void StoreColors(AppSettings& s) const;

  // OK gives the preview the panel colours; Cancel (also Escape) puts the
  // backed-up colours back.
  void accept() override;
  void reject() override;

  TColorPanel* ColBk;
  TColorPanel* ColObj;
  TUpDownEdit* Angle;
  QCheckBox* CacheOn;
  QCheckBox* ChkExe;
  TUpDownEdit* Quality;
  QPushButton* OkBtn;
  QPushButton* CanBtn;

 private:
  void ColorPanelClick(TColorPanel* panel);

  TPView* preview_;
};
