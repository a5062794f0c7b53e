#include "app/viewer.h"

#include <QApplication>
#include <QFile>
#include <QFont>
#include <QStringList>
#include <cstdio>
#include <cstdlib>

#include "app/cli.h"
#include "app/mainform.h"
#include "app/settings.h"
#include "app/toolkit_language.h"
#include "preview/glpanel.h"

int RunViewer(int argc, char** argv) {
  QSurfaceFormat::setDefaultFormat(TGLPanel::RequestedFormat());
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnelle"));
  QFont ui = QApplication::font();
  ui.setFamilies(
      {QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"), QStringLiteral("sans-serif")});
  ui.setPixelSize(12);
  QApplication::setFont(ui);
  InstallToolkitTranslations();

  // Qt has taken its own options out; what is left is ours.
  QStringList args = QApplication::arguments().mid(1);
  const bool separated = !args.isEmpty() && args.front() == QLatin1String("--");
  if (separated) args.removeFirst();
  if (args.size() > 1 || (!separated && !args.isEmpty() && args.front().startsWith("--"))) {
    fprintf(stderr, "tarnelle: the viewer takes one FILE and no options\n%s", kUsage);
    return 2;
  }
  MainFormOptions options;
  options.exePath = CurrentExecutablePath();
  options.thumbnailer = options.exePath;
  if (!args.isEmpty()) options.commandLineFile = QFile::encodeName(args.front()).toStdString();
  // Used by the run script on machines without a display: save a picture
  // of the window once the first model is shown, then quit.
  if (const char* shot = getenv("TARNELLE_SCREENSHOT"); shot && *shot)
    options.screenshotPath = shot;

  TMainForm form(options);
  form.show();
  return app.exec();
}
