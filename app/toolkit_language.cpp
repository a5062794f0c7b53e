#include "app/toolkit_language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool InstallToolkitTranslations() {
  static QTranslator* japanese = nullptr;
  if (japanese) return true;
  auto* t = new QTranslator(QCoreApplication::instance());
  if (!t->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete t;
    return false;
  }
  QCoreApplication::installTranslator(t);
  japanese = t;
  return true;
}
