// The Open dialog: the toolkit's own file dialog, sized so that its detail
// columns (name, size, type, date) are seen whole.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// Returns the chosen file, or an empty string when cancelled.
QString AskModelFile(QWidget* parent, const QString& folder, const QStringList& filters,
                     const QString& selectedFilter);
