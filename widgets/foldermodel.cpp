#include "widgets/foldermodel.h"

#include <QFile>

namespace {
constexpr qint64 kProbeLifetimeMs = 3000;
}

TFolderModel::TFolderModel(QObject* parent) : QFileSystemModel(parent) { clock_.start(); }

void TFolderModel::SetFileNodePredicate(FileNodePredicate isNode) {
  fileIsNode_ = std::move(isNode);
  probes_.clear();
}

bool TFolderModel::hasChildren(const QModelIndex& parent) const {
  if (!parent.isValid() || !QFileSystemModel::hasChildren(parent)) {
    return QFileSystemModel::hasChildren(parent);
  }
  // A folder already read knows its rows; an empty result may still be
  // arriving, so that case asks the disk as an unread folder does.
  if (!canFetchMore(parent) && rowCount(parent) > 0) return true;
  const QString path = filePath(parent);
  const qint64 now = clock_.elapsed();
  auto it = probes_.find(path);
  if (it == probes_.end() || now - it->at > kProbeLifetimeMs) {
    const bool children = HasChildNodes(QFile::encodeName(path).toStdString(), fileIsNode_);
    it = probes_.insert(path, Probe{children, now});
  }
  return it->children;
}
