// The main window: folder tree, format filter, file list, tool bar, menus,
// the docked preview and the log memo. It keeps the settings between start
// and close and turns every command into a call on the load pipeline or the
// preview.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <memory>
#include <string>

#include "app/settings.h"
#include "core/pipeline.h"

class QAction;
class QActionGroup;
class QButtonGroup;
class QComboBox;
class QFrame;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QStackedWidget;
class QToolButton;
class QTreeWidget;
class TAboutBox;
class TArchiveBrowser;
class TBackgroundLoad;
class TFileList;
class FileListThumbnails;
class TFileOperation;
class TFolderTree;
class TLogMemo;
class TManualWindow;
class TOptDlg;
class TPView;
class ViewImageExport;

struct MainFormOptions {
  std::string exePath;      // names the INI and help files and the Plugin folder
  std::string iniPath;      // empty: derived from exePath
  std::string helpPath;     // empty: derived from exePath
  bool readPlugins = true;  // read <exe dir>/Plugin/
  std::string commandLineFile;
  std::string screenshotPath;  // when set: save a picture of the window once ready, then close
  // Archiver modules are looked for beside the executable, then (when set)
  // through the system's library search.
  bool archiverSystemSearch = true;
  // Loads run on a worker thread while the window goes on; off: each load
  // runs to its end inside the call that asks for it.
  bool backgroundLoad = true;
  // The program run as "--thumbnail SIZE IN OUT" for the file list's
  // thumbnails; empty: only thumbnails already cached are shown.
  std::string thumbnailer;
};

class TMainForm : public QMainWindow, public LoadHost {
  Q_OBJECT

 public:
  explicit TMainForm(const MainFormOptions& options, QWidget* parent = nullptr);
  ~TMainForm() override;

  // --- LoadHost ------------------------------------------------------------
  LoadSettings Settings() const override;
  void AppendLog(const std::string& line) override;
  // A message outside any load: the separator, then the line.
  void AppendLogBlock(const std::string& line);
  void StopAutoRotation() override;
  void BeginWaitCursor() override;
  void EndWaitCursor() override;
  void PreviewClearModel() override;
  void PreviewSetCullMode(int mode) override;
  void PreviewSetModel(PolygonModel& model, int renderType) override;
  void PreviewRepaint() override;
  void StartTrimTimer() override;

  // --- Commands --------------------------------------------------------------
  // Loads path unless it is the current file (the rule of Open and a click).
  void OpenPath(const QString& path);
  void Reload();
  void SetRenderType(int type);
  void NextRenderType();
  void SetCullMode(int mode);
  void SetViewStyle(int style);
  // Writes the settings now (what closing the window does once).
  void SaveSettings();
  // Asks for a file and saves the preview's picture there.
  void SaveImageClick();
  // Shows the options dialog and applies it after OK.
  void OptionClick();
  // Archive browsing on or off, as the menu item "圧縮ファイル参照" switches it.
  void SetArchiveBrowsing(bool on);
  // The "テクスチャ表示" item: redraws at once.
  void SetTextures(bool on);
  // Removes the archive cache folder with everything in it.
  void DeleteArchiveCache();
  // Gives the folder tree the archive extension list again (with ".exe"
  // when that flag is set).
  void UpdateArchiveExtensions();

  // --- State for the shell and tests ---------------------------------------
  int RenderType() const { return renderType_; }
  int CullMode() const { return cullMode_; }
  const std::string& CurrentPath() const { return pipeline_.lastPath; }
  const std::string& IniPath() const { return iniPath_; }
  int LoadCount() const { return loadCount_; }
  const ReaderTable& Readers() const { return pipeline_.table; }
  AppSettings CurrentSettings() const;
  QAction* MenuAction(const char* objectName) const;
  TFolderTree* FolderTree() const { return tree_; }
  TFileList* FileList() const { return fileList_; }
  FileListThumbnails* Thumbnails() const { return thumbnails_; }
  QComboBox* FilterList() const { return filter_; }
  QPlainTextEdit* Memo() const;
  TPView* Preview() const { return preview_; }
  QWidget* LeftPanel() const { return leftPanel_; }
  QWidget* ListArea() const;
  QToolButton* ToolButton(const char* objectName) const;
  TAboutBox* AboutBox() const { return about_; }
  TOptDlg* OptDlg() const { return optDlg_; }
  TManualWindow* ManualWindow() const { return manual_; }
  TArchiveBrowser* ArchiveBrowser() const { return archive_; }
  QTreeWidget* MemberList() const { return memberList_; }
  TFileOperation* FileOperation() const { return fileOps_; }
  bool PreviewReady() const { return previewReady_; }
  bool TrimPending() const { return trimTimer_.isActive(); }
  // A load is running or waiting for the one it cancelled.
  bool Loading() const;
  TBackgroundLoad* Loader() const { return loader_; }

 signals:
  // The preview's GL surface is ready (after the command-line file loaded).
  void PreviewBecameReady();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dragMoveEvent(QDragMoveEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  void BuildLayout();
  void BuildMenus();
  void BuildToolBar(QWidget* parent);
  void ApplyPlacement(const AppSettings& s);
  void FillFormatFilter();
  void FolderChanged(const QString& path);
  void FilterChanged(int index);
  void ListClicked();
  void ListArchive();
  void MemberActivated();
  // op: 0 copy, 1 move, 2 delete, on the selected files.
  void ListFileOperation(int op);
  void TreeFilesDropped(const QStringList& paths, const QString& folder, Qt::DropAction action);
  void FirstPreviewInit();
  // Every load goes through here (in the background unless switched off).
  void RequestLoad(const std::string& path, const std::string& displayName = {});
  // The file being loaded, else the last one loaded (what Reload takes).
  const std::string& LatestPath() const;
  // What a click or Open leaves alone: the file shown or being loaded, but
  // not one whose load was cancelled.
  bool AlreadyShown(const std::string& path) const;
  void TrimMemory();
  void ShowAbout(int page);
  void OpenHelp();
  void OpenDialog();
  void ToggleAutoRotation(bool on);
  void TakeScreenshot();
  bool PreviewHasFocus() const;
  void ShowMessage(const QString& caption, const QString& text);

  MainFormOptions options_;
  std::string iniPath_, helpPath_;
  std::string commandLinePath_;
  // The archive member loaded last (its cache copy, archive and member
  // path), so that a reload extracts it again and names it as before.
  struct MemberLoad {
    std::string file, archivePath, member;
  } memberLoad_;
  void LoadMember(const std::string& archivePath, const std::string& member);
  LoadPipeline pipeline_;
  AppSettings settings_;  // what is not held by a control
  int renderType_ = 0;
  int cullMode_ = 0;
  int viewStyle_ = 2;
  int loadCount_ = 0;
  std::string loadingPath_;  // the file of the newest load asked for
  int waitDepth_ = 0;
  bool closed_ = false;
  bool shownOnce_ = false;
  bool previewReady_ = false;
  bool optColorsPending_ = true;  // the options dialog's colours are set on its first opening
  std::string filterText_;
  QTimer trimTimer_;

  QWidget* leftPanel_ = nullptr;
  QComboBox* filter_ = nullptr;
  TFolderTree* tree_ = nullptr;
  QSplitter* hSplit_ = nullptr;  // left panel | right panel
  QSplitter* vSplit_ = nullptr;  // list area / preview panel
  QStackedWidget* listArea_ = nullptr;
  TFileList* fileList_ = nullptr;
  FileListThumbnails* thumbnails_ = nullptr;
  QTreeWidget* memberList_ = nullptr;  // archive members (ListView1)
  TArchiveBrowser* archive_ = nullptr;
  QFrame* vPanel_ = nullptr;
  TPView* preview_ = nullptr;
  TLogMemo* memo_ = nullptr;
  TAboutBox* about_ = nullptr;
  TOptDlg* optDlg_ = nullptr;
  std::unique_ptr<ViewImageExport> imageExport_;
  QWidget* rightPanel_ = nullptr;
  TManualWindow* manual_ = nullptr;
  QMenu* listMenu_ = nullptr;
  TFileOperation* fileOps_ = nullptr;
  TBackgroundLoad* loader_ = nullptr;

  QActionGroup* rtypeMenuGroup_ = nullptr;
  QActionGroup* rtypeDropGroup_ = nullptr;
  QActionGroup* cullGroup_ = nullptr;
  QAction* mAutoRot_ = nullptr;
  QAction* mSavePos_ = nullptr;
  QAction* mSaveFolder_ = nullptr;
  QAction* mPluginFirst_ = nullptr;
  QAction* mArcFolder_ = nullptr;
  QAction* mVerClean_ = nullptr;
  QAction* mPolWise_ = nullptr;
  QAction* mThumbnails_ = nullptr;
  QAction* mTextures_ = nullptr;  // "テクスチャ表示"
  QToolButton* tbRType_ = nullptr;
  QToolButton* tbAutoRot_ = nullptr;
  QToolButton* tbView_ = nullptr;
  QButtonGroup* styleButtons_ = nullptr;
};
