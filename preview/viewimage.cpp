#include "preview/viewimage.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "preview/file_dialog_types.h"
#include "preview/pview.h"
#include "preview/waitcursor.h"

QStringList ViewImageFilters() {
  return {QString::fromUtf8("Bitmapイメージ (*.bmp)"), QString::fromUtf8("JPEGイメージ (*.jpg)"),
          QString::fromUtf8("PNGイメージ (*.png)")};
}

ImageFileKind ViewImageKindOfFilter(int index) {
  if (index == 0) return ImageFileKind::kBmp;
  if (index == 2) return ImageFileKind::kPng;
  return ImageFileKind::kJpeg;
}

void ViewImageExport::Run(QWidget* parent, TPView& view, int quality) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // The combo shows the descriptions alone; no extension is ever added.
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  const QStringList filters = ViewImageFilters();
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(filters[lastFilter_]);
  dialog.setDefaultSuffix(QString());
  ListByNameOnly(dialog);
  if (!lastDir_.isEmpty()) dialog.setDirectory(lastDir_);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString path = dialog.selectedFiles().constFirst();
  // With the details hidden the dialog may report the description alone.
  const QString chosen = dialog.selectedNameFilter();
  int filter = -1;
  for (int i = 0; i < filters.size() && filter < 0; ++i)
    if (chosen == filters[i] || filters[i].startsWith(chosen + QLatin1String(" ("))) filter = i;
  if (filter >= 0) lastFilter_ = filter;
  if (Save(parent, view, path, filter, quality)) lastDir_ = QFileInfo(path).absolutePath();
}

bool ViewImageExport::Save(QWidget* parent, TPView& view, const QString& path, int filterIndex,
                           int quality) {
  bool ok;
  {
    const WaitCursorGuard wait;
    ok = view.SaveViewImage(QFile::encodeName(path).toStdString(),
                            ViewImageKindOfFilter(filterIndex), quality);
  }
  if (!ok) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Tarnelle Warning"),
                    QString::fromUtf8("イメージの保存に失敗しました。"), QMessageBox::Ok, parent);
    box.exec();
  }
  return ok;
}
