#include "app/open_dialog.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QScreen>
#include <QTreeView>

#include "preview/file_dialog_types.h"

namespace {
constexpr int kWidth = 820, kHeight = 480;
}

QString AskModelFile(QWidget* parent, const QString& folder, const QStringList& filters,
                     const QString& selectedFilter) {
  QFileDialog dialog(parent, QString(), folder);
  // The toolkit's dialog in every desktop, so that it can be sized here and
  // speaks the interface's language.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(selectedFilter);
  dialog.setViewMode(QFileDialog::Detail);
  ListByNameOnly(dialog);
  QSize size(kWidth, kHeight);
  if (const QScreen* screen = parent ? parent->screen() : nullptr)
    size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
  dialog.resize(size);
  // The name takes what the other columns leave.
  if (auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
    QHeaderView* h = view->header();
    h->setStretchLastSection(false);
    h->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int c = 1; c < h->count(); ++c) h->setSectionResizeMode(c, QHeaderView::ResizeToContents);
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front();
}
