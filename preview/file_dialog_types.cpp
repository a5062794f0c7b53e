#include "preview/file_dialog_types.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QMimeDatabase>

QIcon NameOnlyIconProvider::icon(const QFileInfo& info) const {
  if (info.isDir()) return icon(Folder);
  if (!info.isFile()) return icon(File);
  const QMimeType mime = QMimeDatabase().mimeTypeForFile(info, QMimeDatabase::MatchExtension);
  return QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName(), icon(File)));
}

QString NameOnlyIconProvider::type(const QFileInfo& info) const {
  // Only for regular files does the toolkit look inside.
  if (!info.isFile()) return QAbstractFileIconProvider::type(info);
  const QMimeType mime = QMimeDatabase().mimeTypeForFile(info, QMimeDatabase::MatchExtension);
  return mime.comment().isEmpty() ? mime.name() : mime.comment();
}

namespace {
// The dialog does not own its provider; this child of the dialog does. It is
// made after the dialog's file model, so it outlives it.
struct ProviderHolder : QObject {
  using QObject::QObject;
  NameOnlyIconProvider provider;
};
}  // namespace

void ListByNameOnly(QFileDialog& dialog) {
  auto* holder = new ProviderHolder(&dialog);
  dialog.setIconProvider(&holder->provider);
}
