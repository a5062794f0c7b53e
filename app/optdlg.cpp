#include "app/optdlg.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cmath>

#include "preview/pview.h"
#include "widgets/colorpanel.h"
#include "widgets/updownedit.h"

namespace {

// The layout is designed in pixels for a 12-pixel font and grows with the
// font actually used.
constexpr int kDesignedFontPixels = 12;
constexpr int kClientWidth = 240;
constexpr int kClientHeight = 278;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

uint32_t TOptDlg::RgbOf(const QColor& c) {
  return static_cast<uint32_t>(c.red()) | static_cast<uint32_t>(c.green()) << 8 |
         static_cast<uint32_t>(c.blue()) << 16;
}

QColor TOptDlg::ColorOf(uint32_t rgb) {
  return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>(rgb >> 8 & 0xFF),
                static_cast<int>(rgb >> 16 & 0xFF));
}

TOptDlg::TOptDlg(TPView* preview, QWidget* parent) : QDialog(parent), preview_(preview) {
  setObjectName(QStringLiteral("OptDlg"));
  setWindowTitle(U("Tarnelle 設定"));
  // A tool window with its caption and no caption buttons.
  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setModal(true);

  const int px = QFontInfo(font()).pixelSize();
  const double scale = px > 0 ? double(px) / kDesignedFontPixels : 1.0;
  auto S = [scale](int v) { return static_cast<int>(v * scale + 0.5); };
  auto place = [&](QWidget* w, int x, int y, int width, int height) {
    w->setGeometry(S(x), S(y), S(width), S(height));
  };
  auto label = [&](QWidget* parentWidget, const char* text, int x, int y, int width) {
    auto* l = new QLabel(U(text), parentWidget);
    place(l, x, y, width, 16);
    return l;
  };
  setFixedSize(S(kClientWidth), S(kClientHeight));

  auto* colors = new QGroupBox(U("プレビューカラー"), this);
  place(colors, 8, 6, 224, 62);
  label(colors, "背景", 10, 28, 28);
  ColBk = new TColorPanel(colors);
  ColBk->setObjectName(QStringLiteral("ColBk"));
  place(ColBk, 38, 24, 56, 24);
  label(colors, "ｵﾌﾞｼﾞｪｸﾄ", 102, 28, 56);
  ColObj = new TColorPanel(colors);
  ColObj->setObjectName(QStringLiteral("ColObj"));
  place(ColObj, 158, 24, 56, 24);
  ColBk->SetColor(QColor(0, 77, 102));
  ColObj->SetColor(QColor(222, 222, 222));
  connect(ColBk, &TColorPanel::Clicked, this, [this] { ColorPanelClick(ColBk); });
  connect(ColObj, &TColorPanel::Clicked, this, [this] { ColorPanelClick(ColObj); });

  label(this, "エッジ検出角度", 16, 84, 100);
  Angle = new TUpDownEdit(this);
  Angle->setObjectName(QStringLiteral("Angle"));
  place(Angle, 124, 80, 72, 22);
  Angle->SetLimits(0, 180);
  Angle->SetIncrement(1);
  Angle->SetAlignment(Qt::AlignRight | Qt::AlignVCenter);
  Angle->SetPosition(100);
  label(this, "度", 202, 84, 24);

  auto* archive = new QGroupBox(U("圧縮ファイル参照"), this);
  place(archive, 8, 112, 224, 72);
  CacheOn = new QCheckBox(U("キャッシュを利用する"), archive);
  CacheOn->setObjectName(QStringLiteral("CacheOn"));
  place(CacheOn, 14, 24, 200, 20);
  CacheOn->setChecked(true);
  ChkExe = new QCheckBox(U("exeファイルも含める"), archive);
  ChkExe->setObjectName(QStringLiteral("ChkExe"));
  place(ChkExe, 14, 46, 200, 20);
  ChkExe->setChecked(false);

  label(this, "JPEG保存品質", 16, 202, 100);
  Quality = new TUpDownEdit(this);
  Quality->setObjectName(QStringLiteral("Quality"));
  place(Quality, 124, 198, 72, 22);
  Quality->SetLimits(0, 100);
  Quality->SetIncrement(1);
  Quality->SetPosition(50);
  label(this, "％", 202, 202, 24);

  OkBtn = new QPushButton(QStringLiteral("OK"), this);
  OkBtn->setObjectName(QStringLiteral("OkBtn"));
  place(OkBtn, 72, 242, 75, 25);
  OkBtn->setDefault(true);
  OkBtn->setAutoDefault(true);
  connect(OkBtn, &QPushButton::clicked, this, &TOptDlg::accept);
  CanBtn = new QPushButton(QStringLiteral("Cancel"), this);
  CanBtn->setObjectName(QStringLiteral("CanBtn"));
  place(CanBtn, 157, 242, 75, 25);
  CanBtn->setAutoDefault(false);
  connect(CanBtn, &QPushButton::clicked, this, &TOptDlg::reject);
}

void TOptDlg::KeepColorBackups() {
  ColBk->KeepBackup();
  ColObj->KeepBackup();
}

void TOptDlg::LoadValues(const AppSettings& s) {
  Angle->SetPosition(s.angle);
  Quality->SetPosition(s.quality);
  CacheOn->setChecked(s.cache);
  ChkExe->setChecked(s.archiveExe);
}

void TOptDlg::StoreValues(AppSettings& s) const {
  s.angle = Angle->Position();
  s.quality = static_cast<int>(std::trunc(Quality->Position()));
  s.cache = CacheOn->isChecked();
  s.archiveExe = ChkExe->isChecked();
}

void TOptDlg::LoadColors(const AppSettings& s) {
  ColBk->SetColor(ColorOf(s.backColor));
  ColObj->SetColor(ColorOf(s.objectColor));
}

void TOptDlg::StoreColors(AppSettings& s) const {
  s.backColor = RgbOf(ColBk->Color());
  s.objectColor = RgbOf(ColObj->Color());
}

void TOptDlg::ColorPanelClick(TColorPanel* panel) {
  QColorDialog dialog(panel->Color(), this);
  dialog.setObjectName(QStringLiteral("ColorDialog"));
  if (dialog.exec() == QDialog::Accepted && dialog.selectedColor().isValid())
    panel->SetColor(dialog.selectedColor());
}

void TOptDlg::accept() {
  if (preview_)
    preview_->SetColors(static_cast<int>(RgbOf(ColBk->Color())),
                        static_cast<int>(RgbOf(ColObj->Color())));
  QDialog::accept();
}

void TOptDlg::reject() {
  ColBk->RestoreBackup();
  ColObj->RestoreBackup();
  QDialog::reject();
}
