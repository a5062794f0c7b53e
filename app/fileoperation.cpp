#include "app/fileoperation.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }
QString FromBytes(const std::string& s) { return QFile::decodeName(s.c_str()); }
QString NameOf(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  return name.isEmpty() ? path : name;
}

// At most this many failures are listed one by one in a message.
constexpr int kListedFailures = 20;

// Answers the engine through message boxes and a progress dialog that
// appears only when the work takes a while.
class DialogPrompt : public FileOpPrompt {
 public:
  DialogPrompt(QWidget* owner, FileOpKind kind, int delayMs)
      : owner_(owner), kind_(kind), delayMs_(delayMs) {
    clock_.start();
  }

  OverwriteAnswer AskOverwrite(const std::string& source, const std::string& target) override {
    const QString name = FromBytes(target);
    const QString text =
        QFileInfo(name).isDir()
            ? U("フォルダ「%1」は既にあります。\n中身を一緒にしますか？").arg(name)
            : U("「%1」は既にあります。\n「%2」で置き換えますか？").arg(name, FromBytes(source));
    QMessageBox box(
        QMessageBox::Question, QStringLiteral("Tarnelle"), text,
        QMessageBox::Yes | QMessageBox::YesToAll | QMessageBox::No | QMessageBox::Cancel,
        progress_ ? static_cast<QWidget*>(progress_.get()) : owner_);
    box.button(QMessageBox::Yes)->setText(U("はい(&Y)"));
    box.button(QMessageBox::YesToAll)->setText(U("すべてはい(&A)"));
    box.button(QMessageBox::No)->setText(U("いいえ(&N)"));
    box.button(QMessageBox::Cancel)->setText(U("キャンセル"));
    box.setDefaultButton(QMessageBox::No);
    switch (box.exec()) {
      case QMessageBox::Yes:
        return OverwriteAnswer::Yes;
      case QMessageBox::YesToAll:
        return OverwriteAnswer::YesToAll;
      case QMessageBox::No:
        return OverwriteAnswer::No;
      default:
        return OverwriteAnswer::Cancel;
    }
  }

  bool Progress(uint64_t done, uint64_t total, const std::string& current) override {
    if (!progress_ && clock_.elapsed() >= delayMs_) {
      progress_ = std::make_unique<QProgressDialog>(owner_);
      progress_->setObjectName(QStringLiteral("FileOpProgress"));
      progress_->setWindowTitle(kind_ == FileOpKind::Copy ? U("コピー中") : U("移動中"));
      progress_->setCancelButtonText(U("キャンセル"));
      progress_->setRange(0, 1000);
      progress_->setMinimumDuration(0);
      progress_->setAutoClose(false);
      progress_->setAutoReset(false);
      progress_->setWindowModality(Qt::WindowModal);
      progress_->show();
    }
    if (progress_) {
      progress_->setLabelText(NameOf(FromBytes(current)));
      progress_->setValue(total > 0 ? static_cast<int>(done * 1000 / total) : 0);
    }
    // Keep the window painted; until the dialog stands in front of it, no
    // click may start other work meanwhile.
    QApplication::processEvents(progress_ ? QEventLoop::AllEvents
                                          : QEventLoop::ExcludeUserInputEvents);
    return !Cancelled();
  }

 private:
  bool Cancelled() const { return progress_ && progress_->wasCanceled(); }

  QWidget* owner_;
  FileOpKind kind_;
  int delayMs_;
  QElapsedTimer clock_;
  std::unique_ptr<QProgressDialog> progress_;
};

}  // namespace

TFileOperation::TFileOperation(QWidget* owner) : QObject(owner), owner_(owner) {}

QString TFileOperation::DialogTitle(FileOpKind kind) {
  return kind == FileOpKind::Copy ? U("コピー先フォルダ") : U("移動先フォルダ");
}

bool TFileOperation::ChooseDestination(FileOpKind kind, QString* folder) {
  QFileDialog dialog(owner_, DialogTitle(kind),
                     lastDestination_.isEmpty() ? QDir::homePath() : lastDestination_);
  dialog.setObjectName(QStringLiteral("FolderDialog"));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  lastDestination_ = dialog.selectedFiles().front();
  *folder = lastDestination_;
  return true;
}

FileOpResult TFileOperation::Run(FileOpKind kind, const QStringList& paths, const QString& folder) {
  std::vector<std::string> sources;
  for (const QString& p : paths) sources.push_back(QFile::encodeName(p).toStdString());
  FileOpResult result;
  {
    DialogPrompt prompt(owner_, kind, progressDelayMs_);
    result = CopyOrMoveFiles(kind, sources, QFile::encodeName(folder).toStdString(), prompt);
  }
  if (!result.errors.empty()) {
    QStringList lines;
    lines << (kind == FileOpKind::Copy ? U("コピーできなかった項目があります。")
                                       : U("移動できなかった項目があります。"));
    for (const FileOpError& e : result.errors)
      lines << FromBytes(e.path) + QStringLiteral(": ") + QString::fromStdString(e.reason);
    ShowFailures(lines);
  }
  return result;
}

void TFileOperation::Delete(const QStringList& paths) {
  if (paths.isEmpty()) return;
  const QString ask = paths.size() == 1
                          ? U("「%1」をごみ箱に移しますか？").arg(NameOf(paths.front()))
                          : U("これら %1 個の項目をごみ箱に移しますか？").arg(paths.size());
  QMessageBox confirm(QMessageBox::Question, QStringLiteral("Tarnelle"), ask,
                      QMessageBox::Yes | QMessageBox::No, owner_);
  confirm.setDefaultButton(QMessageBox::Yes);
  if (confirm.exec() != QMessageBox::Yes) return;

  // Without an existing data folder the trash would be made somewhere
  // unexpected (relative to the working folder); then nothing goes there.
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  const bool haveTrash = !data.isEmpty() && QDir().mkpath(data);
  QStringList failures, stuck, stuckLines;
  for (const QString& p : paths) {
    const QFileInfo info(p);
    if (!info.exists() && !info.isSymLink()) {
      failures << p + QStringLiteral(": ") + QString::fromUtf8(strerror(ENOENT));
      continue;
    }
    QFile file(p);
    if (haveTrash && file.moveToTrash()) continue;
    stuck << p;
    stuckLines << (haveTrash ? p + QStringLiteral(": ") + file.errorString() : p);
  }
  if (!stuck.isEmpty()) {
    QMessageBox second(QMessageBox::Warning, QStringLiteral("Tarnelle Warning"),
                       U("次の項目はごみ箱に移せません。\n"
                         "元に戻せない形で完全に削除しますか？\n\n") +
                           stuckLines.mid(0, kListedFailures).join('\n'),
                       QMessageBox::Yes | QMessageBox::No, owner_);
    second.setDefaultButton(QMessageBox::No);
    if (second.exec() == QMessageBox::Yes) {
      for (const QString& p : stuck) {
        const QFileInfo info(p);
        if (info.isDir() && !info.isSymLink()) {
          if (!QDir(p).removeRecursively())
            failures << p + QStringLiteral(": ") + U("完全には削除できませんでした");
          continue;
        }
        QFile file(p);
        if (!file.remove()) failures << p + QStringLiteral(": ") + file.errorString();
      }
    }
  }
  if (!failures.isEmpty()) {
    failures.prepend(U("削除できなかった項目があります。"));
    ShowFailures(failures);
  }
}

void TFileOperation::ShowFailures(const QStringList& lines) {
  QStringList shown = lines.mid(0, kListedFailures + 1);
  if (lines.size() > shown.size()) shown << U("ほか %1 件").arg(lines.size() - shown.size());
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Tarnelle Error"), shown.join('\n'),
                  QMessageBox::Ok, owner_);
  box.exec();
}
