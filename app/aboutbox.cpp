#include "app/aboutbox.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/icons.h"
#include "widgets/shadowlabel.h"

namespace {

QWidget* OperationPage() {
  auto* page = new QWidget;
  auto* grid = new QGridLayout(page);
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(4);
  const struct {
    const char* icon;
    const char* text;
  } rows[] = {
      {"mouse_left", "+ ドラッグ操作 ： 回転"},
      {"mouse_right", "+ ドラッグ操作 ： 移動"},
      {"mouse_zoom", "+ ドラッグ操作 ： 拡大縮小"},
      {"mouse_double", "ダブルクリック ： 視点リセット"},
  };
  int r = 0;
  for (const auto& row : rows) {
    auto* icon = new QLabel;
    icon->setPixmap(IconPixmap(row.icon, 32));
    grid->addWidget(icon, r, 0);
    grid->addWidget(new QLabel(QString::fromUtf8(row.text)), r, 1);
    ++r;
  }
  for (const char* line : {"（Shift＋ で縦横方向の動きに制限）", "マウスホイール ： 拡大縮小",
                           "スペースキー   ： レンダータイプ切替え"}) {
    grid->addWidget(new QLabel(QString::fromUtf8(line)), r++, 0, 1, 2);
  }
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(r, 1);
  return page;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent), tabs_(new QTabWidget(this)), version_(new QLabel) {
  setWindowTitle(QStringLiteral("About Tarnelle"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  tabs_->addTab(OperationPage(), QStringLiteral("プレビュー操作"));

  auto* info = new QWidget;
  auto* v = new QVBoxLayout(info);
  auto* product = new TShadowLabel(QStringLiteral("Tarnelle Prism"));
  QFont big = product->font();
  big.setBold(true);
  big.setPixelSize(24);
  product->setFont(big);
  product->setAlignment(Qt::AlignCenter);
  product->setMinimumHeight(40);
  auto* logo = new QLabel;
  logo->setPixmap(IconPixmap("tarnelle", 48));
  logo->setAlignment(Qt::AlignCenter);
  version_->setAlignment(Qt::AlignCenter);
  v->addStretch();
  v->addWidget(logo);
  v->addWidget(product);
  v->addWidget(version_);
  v->addStretch();
  tabs_->addTab(info, QStringLiteral("バージョン情報"));

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(buttons);
  setFixedSize(sizeHint().expandedTo(QSize(300, 280)));
}

void TAboutBox::ShowPage(int page) { tabs_->setCurrentIndex(page); }
int TAboutBox::Page() const { return tabs_->currentIndex(); }
void TAboutBox::SetVersionText(const QString& text) { version_->setText(text); }
QString TAboutBox::VersionText() const { return version_->text(); }

void TAboutBox::showEvent(QShowEvent* e) {
  // Centred on the desktop, not on the main window.
  if (const QScreen* s = QGuiApplication::primaryScreen()) {
    const QRect g = s->availableGeometry();
    move(g.center() - QPoint(width() / 2, height() / 2));
  }
  QDialog::showEvent(e);
}
