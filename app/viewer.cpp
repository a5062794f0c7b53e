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

  // Qt has taken its own options out; what is left is ours.
  const QStringList args = QApplication::arguments();
  if (args.size() > 2) {
    fprintf(stderr, "tarnelle: the viewer takes at most one file\n%s", kUsage);
    return 2;
  }
  MainFormOptions options;
  options.exePath = CurrentExecutablePath();
  if (args.size() == 2) options.commandLineFile = QFile::encodeName(args[1]).toStdString();
  // Used by the run script on machines without a display: save a picture
  // of the window once the first model is shown, then quit.
  if (const char* shot = getenv("TARNELLE_SCREENSHOT"); shot && *shot)
    options.screenshotPath = shot;

  TMainForm form(options);
  form.show();
  return app.exec();
}
