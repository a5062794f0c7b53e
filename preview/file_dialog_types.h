// File dialogs that never open the files they list. The toolkit's icon
// provider reads a file's first bytes to guess its type, and reading a FIFO
// or a file such as /proc/kmsg blocks until data comes, which freezes the
// dialog and, when it closes, the window that opened it.
#pragma once

#include <QAbstractFileIconProvider>

class QFileDialog;

// Icons and type names from the file name alone (directories and special
// files by their kind).
class NameOnlyIconProvider : public QAbstractFileIconProvider {
 public:
  using QAbstractFileIconProvider::icon;
  QIcon icon(const QFileInfo& info) const override;
  QString type(const QFileInfo& info) const override;
};

// Gives dialog a NameOnlyIconProvider that lives as long as the dialog.
void ListByNameOnly(QFileDialog& dialog);
