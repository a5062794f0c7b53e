// The save-view-image command: the save dialog, the wait cursor and the
// warning when the picture could not be written.
#pragma once

#include <QString>
#include <QStringList>

#include "preview/image_io.h"

class QWidget;
class TPView;

// The dialog's filters in their order: bitmap, JPEG, PNG.
QStringList ViewImageFilters();
// The chosen filter alone decides the format, never the name's extension:
// 0 bitmap, 2 PNG, any other JPEG.
ImageFileKind ViewImageKindOfFilter(int index);

class ViewImageExport {
 public:
  // Asks for a file and filter and writes view's picture there (JPEG with
  // quality). A cancelled dialog does nothing; a failed write shows the
  // "Tarnelle Warning" box over parent. The dialog opens in the folder of
  // the last picture written and with the filter chosen last.
  void Run(QWidget* parent, TPView& view, int quality);
  // The part after the dialog: true when the file was written.
  static bool Save(QWidget* parent, TPView& view, const QString& path, int filterIndex,
                   int quality);

 private:
  // Only a written picture moves the dialog: a folder that failed may be
  // one that cannot even be listed.
  QString lastDir_;
  int lastFilter_ = 0;  // kept for the run, as the dialog's filter index
};
