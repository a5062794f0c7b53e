#include "app/mainform.h"

#include <malloc.h>

#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <cstdio>
#include <memory>

#include "app/aboutbox.h"
#include "app/archivebrowser.h"
#include "app/backgroundload.h"
#include "app/cli.h"
#include "app/filebrowser.h"
#include "app/fileoperation.h"
#include "app/icons.h"
#include "app/manualwindow.h"
#include "app/open_dialog.h"
#include "app/optdlg.h"
#include "app/thumbnail_gallery.h"
#include "core/plugin_loader.h"
#include "core/user_dirs.h"
#include "mesh/prepare_mesh.h"
#include "preview/pview.h"
#include "preview/viewimage.h"
#include "preview/waitcursor.h"
#include "readers/builtin.h"
#include "widgets/filelist.h"
#include "widgets/foldertree.h"
#include "widgets/logmemo.h"

namespace {

// Designed sizes of the window and its panes.
constexpr int kDesignedWidth = 631;
constexpr int kDesignedHeight = 542;
constexpr int kDesignedLeftPanel = 185;
constexpr int kDesignedListHeight = 96;
constexpr int kSplitterWidth = 3;
constexpr int kToolBarHeight = 25;
constexpr int kMemoHeight = 59;

const char* const kRenderTypeNames[5] = {"フラット", "スムース", "隠線ワイヤー", "ワイヤー",
                                         "ポイント"};
const char* const kRenderTypeIcons[5] = {"rtype_flat", "rtype_smooth", "rtype_hidden", "rtype_wire",
                                         "rtype_point"};
const char* const kViewNames[6] = {"正面", "裏面", "右側面", "左側面", "上面", "下面"};
const char* const kCullNames[3] = {"両面", "片面１", "片面２"};

QString U(const char* utf8) { return QString::fromUtf8(utf8); }
QString U(const std::string& utf8) { return QString::fromStdString(utf8); }

// File names are bytes on Linux: hand the pipeline exactly the bytes the
// file system uses.
std::string PathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

QString DirOfExe(const std::string& exe) {
  const QString dir = QFileInfo(U(exe)).absolutePath();
  return dir.endsWith('/') ? dir : dir + '/';
}

// The hourglass for the length of one load.
std::unique_ptr<WaitCursorGuard> g_waitCursor;

QString QtMask(const std::string& mask) {
  QString m = U(mask);
  if (m == QLatin1String("*.*")) return QStringLiteral("*");
  m.replace(';', ' ');
  return m;
}

// The file a drop onto the window loads: the first one dropped, when it is
// a local file (a folder or a web address loads nothing).
QString FirstDroppedFile(const QMimeData* mime) {
  if (!mime || !mime->hasUrls() || mime->urls().isEmpty()) return {};
  const QUrl first = mime->urls().front();
  if (!first.isLocalFile()) return {};
  const QString path = first.toLocalFile();
  return QFileInfo(path).isFile() ? path : QString();
}

}  // namespace

TMainForm::TMainForm(const MainFormOptions& options, QWidget* parent)
    : QMainWindow(parent), options_(options) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QStringLiteral("Tarnelle"));
  setWindowIcon(Icon("tarnelle"));
  // The Japanese UI font at the designed pixel size; fontconfig picks the
  // installed IPA fonts.
  QFont ui = font();
  ui.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                  QStringLiteral("Noto Sans CJK JP"), QStringLiteral("sans-serif")});
  ui.setPixelSize(12);
  setFont(ui);

  trimTimer_.setSingleShot(true);
  trimTimer_.setInterval(500);
  connect(&trimTimer_, &QTimer::timeout, this, &TMainForm::TrimMemory);

  // Steps 2 and 3: the tree and the list with its columns.
  BuildLayout();
  BuildMenus();
  about_ = new TAboutBox(this);
  optDlg_ = new TOptDlg(preview_, this);
  imageExport_ = std::make_unique<ViewImageExport>();

  // Step 4: where the settings and the manual live.
  iniPath_ = !options_.iniPath.empty() ? options_.iniPath : SettingsFilePath(options_.exePath);
  helpPath_ = !options_.helpPath.empty() ? options_.helpPath : HelpFilePath(options_.exePath);

  // Step 5: read the settings file once; window placement, view style and
  // the remembered folder first.
  IniFile ini;
  ini.Load(iniPath_);
  settings_ = ReadSettings(ini);
  ApplyPlacement(settings_);
  SetViewStyle(settings_.viewType);
  mThumbnails_->setChecked(settings_.thumbnails);
  thumbnails_->SetEnabled(settings_.thumbnails);
  mTextures_->setChecked(settings_.textures);
  preview_->SetTextures(settings_.textures);
  mSaveFolder_->setChecked(settings_.rememberFolder);
  QString folder = U(settings_.lastPath);

  // Step 6: a file on the command line names the folder instead.
  if (!options_.commandLineFile.empty()) {
    // Made absolute without cleaning: "ARCHIVE//MEMBER" keeps its "//".
    std::string abs = options_.commandLineFile;
    if (abs.front() != '/') abs = PathBytes(QDir::currentPath()) + "/" + abs;
    std::string archivePath, member;
    if (SplitMemberArgument(abs, archivePath, member)) {
      memberLoad_ = {std::string(), archivePath, member};
      commandLinePath_ = abs;
      folder = U(FolderPartOf(archivePath));
    } else {
      const QString clean = QFileInfo(QFile::decodeName(abs.c_str())).absoluteFilePath();
      commandLinePath_ = PathBytes(clean);
      folder = U(FolderPartOf(clean.toStdString()));
    }
  }

  // Step 7: select the folder; the caption follows the tree.
  if (folder.isEmpty())
    tree_->SelectFirstNode();
  else
    tree_->SelectPath(folder);
  if (fileList_->Folder() != tree_->SelectedPath()) FolderChanged(tree_->SelectedPath());

  // Step 8: the remaining keys.
  mAutoRot_->setChecked(settings_.autoRotation);
  tbAutoRot_->setChecked(settings_.autoRotation);
  SetRenderType(settings_.renderType);
  SetCullMode(settings_.cullMode);
  mPluginFirst_->setChecked(settings_.pluginsFirst);
  mVerClean_->setChecked(settings_.shareVertices);
  mPolWise_->setChecked(settings_.fixOrientation);
  if (settings_.archiveBrowsing) SetArchiveBrowsing(true);

  // Step 9: the reader table and, from it, the format filter.
  PluginSource plugins{PathBytes(DirOfExe(options_.exePath) + QStringLiteral("Plugin/")),
                       options_.exePath};
  BuildReaderTable(pipeline_.table, BuiltinReaders(), settings_.pluginsFirst,
                   options_.readPlugins ? &plugins : nullptr);
  pipeline_.prepareMesh = PrepareMesh;
  // The first click on a plug-in's file finds its loader started.
  PrestartPluginLoader(pipeline_.table);
  loader_ = new TBackgroundLoad(pipeline_, *this, vPanel_, this);
  loader_->setFittedModel = [this](PolygonModel& model, SceneModelFit&& fit) {
    preview_->SetFittedModel(&model, std::move(fit), Settings().renderType);
  };
  loader_->decodeTextures = settings_.textures;
  FillFormatFilter();

  preview_->OnFirstInit = [this] { FirstPreviewInit(); };
  preview_->OnSpaceKey = [this] { NextRenderType(); };
  preview_->OnLogLine = [this](const std::string& line) { AppendLog(line); };
  qApp->installEventFilter(this);
  trimTimer_.start();
}

TMainForm::~TMainForm() {
  // The worker may be inside a plug-in released below.
  if (loader_) loader_->CancelAndWait();
  qApp->removeEventFilter(this);
  if (preview_) {
    preview_->OnFirstInit = nullptr;
    preview_->OnSpaceKey = nullptr;
    preview_->OnLogLine = nullptr;
    preview_->ClearModel();
  }
  g_waitCursor.reset();
  ReleaseReaderTable(pipeline_.table);
}

// ---------------------------------------------------------------------------
// Building the window

void TMainForm::BuildLayout() {
  auto* central = new QWidget(this);
  setCentralWidget(central);
  auto* centralLayout = new QHBoxLayout(central);
  centralLayout->setContentsMargins(0, 0, 0, 0);

  hSplit_ = new QSplitter(Qt::Horizontal, central);
  hSplit_->setHandleWidth(kSplitterWidth);
  hSplit_->setChildrenCollapsible(false);
  centralLayout->addWidget(hSplit_);

  // Left panel: the format filter over the folder tree.
  leftPanel_ = new QWidget;
  leftPanel_->setObjectName(QStringLiteral("LeftPanel"));
  auto* left = new QVBoxLayout(leftPanel_);
  left->setContentsMargins(0, 2, 0, 0);
  left->setSpacing(4);
  filter_ = new QComboBox;
  filter_->setObjectName(QStringLiteral("FilterList"));
  filter_->setFixedHeight(20);
  filter_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  filter_->setMinimumContentsLength(4);
  tree_ = new TFolderTree;
  tree_->setObjectName(QStringLiteral("FolderTree"));
  left->addWidget(filter_);
  left->addWidget(tree_, 1);
  hSplit_->addWidget(leftPanel_);
  connect(tree_, &TFolderTree::FolderChanged, this, &TMainForm::FolderChanged);
  connect(filter_, &QComboBox::currentIndexChanged, this, &TMainForm::FilterChanged);

  // Right panel: tool bar, list area, splitter, preview, log memo.
  auto* right = new QWidget;
  rightPanel_ = right;
  right->setObjectName(QStringLiteral("RightPanel"));
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(0, 0, 0, 0);
  rightLayout->setSpacing(0);
  BuildToolBar(right);

  vSplit_ = new QSplitter(Qt::Vertical);
  vSplit_->setHandleWidth(kSplitterWidth);
  vSplit_->setChildrenCollapsible(false);
  listArea_ = new QStackedWidget;
  fileList_ = new TFileList;
  fileList_->setObjectName(QStringLiteral("FileList1"));
  fileList_->SetColumnCaptions({U("ファイル名"), U("サイズ"), U("ﾀｲﾌﾟ"), U("更新日付"), QString()});
  auto* gallery = new ThumbnailGallery(this);
  gallery->SetProgram(QFile::decodeName(options_.thumbnailer.c_str()));
  thumbnails_ = new FileListThumbnails(fileList_, gallery);
  memberList_ = new QTreeWidget;
  memberList_->setObjectName(QStringLiteral("ListView1"));
  archive_ = new TArchiveBrowser(
      memberList_,
      ArchiverSearch{PathBytes(DirOfExe(options_.exePath)), options_.archiverSystemSearch},
      CacheFolderPath(options_.exePath), options_.exePath, this);
  connect(archive_, &TArchiveBrowser::MemberActivated, this, &TMainForm::MemberActivated);
  connect(archive_, &TArchiveBrowser::LogLine, this, &TMainForm::AppendLogBlock);
  listArea_->addWidget(fileList_);
  listArea_->addWidget(memberList_);
  listArea_->setCurrentWidget(fileList_);
  listArea_->setMinimumHeight(20);
  vSplit_->addWidget(listArea_);

  vPanel_ = new QFrame;
  vPanel_->setObjectName(QStringLiteral("VPanel"));
  vPanel_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  auto* vl = new QVBoxLayout(vPanel_);
  vl->setContentsMargins(1, 1, 1, 1);
  preview_ = new TPView(vPanel_);
  vl->addWidget(preview_);
  vSplit_->addWidget(vPanel_);
  vSplit_->setStretchFactor(0, 0);
  vSplit_->setStretchFactor(1, 1);
  rightLayout->addWidget(vSplit_, 1);

  memo_ = new TLogMemo;
  memo_->setObjectName(QStringLiteral("Memo1"));
  memo_->setFixedHeight(kMemoHeight);
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo_->setAttribute(Qt::WA_InputMethodEnabled, false);
  QPalette mp = memo_->palette();
  mp.setColor(QPalette::Base, QToolTip::palette().color(QPalette::ToolTipBase));
  mp.setColor(QPalette::Text, QColor(0, 0, 128));
  memo_->setPalette(mp);
  QFont mono = font();
  mono.setFamilies({QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans Mono CJK JP"),
                    QStringLiteral("monospace")});
  mono.setPixelSize(13);
  memo_->setFont(mono);
  rightLayout->addWidget(memo_);

  hSplit_->addWidget(right);
  hSplit_->setStretchFactor(0, 0);
  hSplit_->setStretchFactor(1, 1);

  // The list: a left click or Enter loads; the context menu holds the file
  // operations.
  connect(fileList_, &TFileList::ItemClicked, this, &TMainForm::ListClicked);
  connect(fileList_, &TFileList::EnterPressed, this, &TMainForm::ListClicked);
  listMenu_ = new QMenu(this);
  listMenu_->setToolTipsVisible(true);
  const struct {
    const char* name;
    const char* text;
    const char* hint;
  } ops[] = {{"mCopy", "コピー(&C)", "コピー"},
             {"mMove", "移動(&M)", "切り取り"},
             {"mDelete", "削除(&D)", ""}};
  for (int i = 0; i < 3; ++i) {
    QAction* a = listMenu_->addAction(U(ops[i].text));
    a->setObjectName(QLatin1String(ops[i].name));
    if (*ops[i].hint) {
      a->setStatusTip(U(ops[i].hint));
      a->setToolTip(a->statusTip());
    }
    connect(a, &QAction::triggered, this, [this, i] { ListFileOperation(i); });
  }
  // Delete works while the list has the focus, menu open or not.
  QAction* del = listMenu_->actions().back();
  del->setShortcut(QKeySequence(Qt::Key_Delete));
  del->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  fileList_->addAction(del);
  connect(fileList_, &TFileList::ContextMenuRequested, this,
          [this](const QPoint& p) { listMenu_->popup(p); });

  // Files dropped on a tree folder are copied or moved there once the drop
  // has returned to the program it came from.
  fileOps_ = new TFileOperation(this);
  connect(tree_, &TFolderTree::FilesDropped, this, &TMainForm::TreeFilesDropped,
          Qt::QueuedConnection);
  setAcceptDrops(true);
}

void TMainForm::BuildToolBar(QWidget* parent) {
  auto* bar = new QWidget(parent);
  bar->setObjectName(QStringLiteral("ToolBar1"));
  bar->setFixedHeight(kToolBarHeight);
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(1, 0, 1, 0);
  row->setSpacing(0);
  auto button = [&](const char* name, const char* icon, const char* hint) {
    auto* b = new QToolButton(bar);
    b->setObjectName(QLatin1String(name));
    b->setIcon(Icon(icon));
    b->setIconSize(QSize(16, 16));
    b->setToolTip(U(hint));
    b->setAutoRaise(true);
    b->setFixedHeight(kToolBarHeight - 2);
    row->addWidget(b);
    return b;
  };
  auto separator = [&] {
    auto* line = new QFrame(bar);
    line->setFrameStyle(QFrame::VLine | QFrame::Sunken);
    line->setFixedWidth(8);
    row->addWidget(line);
  };

  connect(button("ToolButton6", "open", "ファイルを開く"), &QToolButton::clicked, this,
          &TMainForm::OpenDialog);
  connect(button("ToolButton8", "saveimage", "ﾋﾞｭｰｲﾒｰｼﾞ保存"), &QToolButton::clicked, this,
          &TMainForm::SaveImageClick);
  connect(button("ToolButton10", "reload", "再読み込み"), &QToolButton::clicked, this,
          &TMainForm::Reload);
  separator();
  connect(button("tbOption", "option", "環境設定"), &QToolButton::clicked, this,
          &TMainForm::OptionClick);

  tbRType_ = button("tbRType", "rtype_flat", "レンダータイプ");
  tbRType_->setPopupMode(QToolButton::MenuButtonPopup);
  auto* rtypeMenu = new QMenu(tbRType_);
  rtypeDropGroup_ = new QActionGroup(rtypeMenu);
  // The items carry no image: a menu draws an item's image in place of its
  // check mark, and the mark is what shows the current type here (the
  // button itself shows the type's image).
  for (int i = 0; i < 5; ++i) {
    QAction* a = rtypeMenu->addAction(U(kRenderTypeNames[i]));
    a->setCheckable(true);
    a->setObjectName(QStringLiteral("dRType%1").arg(i));
    rtypeDropGroup_->addAction(a);
    connect(a, &QAction::triggered, this, [this, i] { SetRenderType(i); });
  }
  tbRType_->setMenu(rtypeMenu);
  connect(tbRType_, &QToolButton::clicked, this, &TMainForm::NextRenderType);

  tbAutoRot_ = button("tbAutoRot", "autorot", "回転アニメーション");
  tbAutoRot_->setCheckable(true);
  connect(tbAutoRot_, &QToolButton::clicked, this, &TMainForm::ToggleAutoRotation);
  separator();

  tbView_ = button("tbView", "view", "カメラ方向");
  tbView_->setPopupMode(QToolButton::MenuButtonPopup);
  auto* viewMenu = new QMenu(tbView_);
  for (int i = 0; i < 6; ++i) {
    QAction* a = viewMenu->addAction(U(kViewNames[i]));
    a->setObjectName(QStringLiteral("dView%1").arg(i));
    connect(a, &QAction::triggered, this, [this, i] { preview_->SetViewPreset(i); });
  }
  tbView_->setMenu(viewMenu);
  connect(tbView_, &QToolButton::clicked, this, [this] { preview_->ResetCamera(); });
  separator();

  styleButtons_ = new QButtonGroup(this);
  styleButtons_->setExclusive(true);
  const char* const styleIcons[4] = {"vs_large", "vs_small", "vs_list", "vs_details"};
  const char* const styleHints[4] = {"大きいアイコン", "小さいアイコン", "一覧", "詳細"};
  for (int i = 0; i < 4; ++i) {
    const QByteArray name = "ToolButton" + QByteArray::number(i + 1);
    QToolButton* b = button(name.constData(), styleIcons[i], styleHints[i]);
    b->setCheckable(true);
    styleButtons_->addButton(b, i);
  }
  connect(styleButtons_, &QButtonGroup::idClicked, this, &TMainForm::SetViewStyle);
  row->addStretch(1);
  parent->layout()->addWidget(bar);
}

void TMainForm::BuildMenus() {
  QMenuBar* bar = menuBar();
  auto item = [this](QMenu* menu, const char* name, const char* text) {
    QAction* a = menu->addAction(U(text));
    a->setObjectName(QLatin1String(name));
    return a;
  };
  auto check = [&](QMenu* menu, const char* name, const char* text) {
    QAction* a = item(menu, name, text);
    a->setCheckable(true);
    return a;
  };

  QMenu* file = bar->addMenu(U("ﾌｧｲﾙ(&F)"));
  file->setObjectName(QStringLiteral("mFile"));
  QAction* open = item(file, "mOpen", "開 く(&O)");
  open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  open->setIcon(Icon("open"));
  connect(open, &QAction::triggered, this, &TMainForm::OpenDialog);
  QAction* save = item(file, "mSaveImage", "ﾋﾞｭｰｲﾒｰｼﾞ保存");
  save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  save->setIcon(Icon("saveimage"));
  connect(save, &QAction::triggered, this, &TMainForm::SaveImageClick);
  QAction* reload = item(file, "mReload", "再読み込み");
  reload->setShortcut(QKeySequence(Qt::Key_F5));
  reload->setIcon(Icon("reload"));
  connect(reload, &QAction::triggered, this, &TMainForm::Reload);
  file->addSeparator();
  QAction* exit = item(file, "mExit", "終了(&X)");
  exit->setStatusTip(U("ｱﾌﾟﾘｹｰｼｮﾝの終了"));
  exit->setToolTip(exit->statusTip());
  connect(exit, &QAction::triggered, this, &QWidget::close);

  QMenu* display = bar->addMenu(U("表示(&D)"));
  display->setObjectName(QStringLiteral("mDisplay"));
  mAutoRot_ = check(display, "mAutoRot", "回転アニメーション");
  connect(mAutoRot_, &QAction::triggered, this, &TMainForm::ToggleAutoRotation);
  QMenu* rtype = display->addMenu(U("レンダータイプ"));
  rtype->setObjectName(QStringLiteral("mRenderType"));
  rtypeMenuGroup_ = new QActionGroup(rtype);
  for (int i = 0; i < 5; ++i) {
    QAction* a = check(rtype, "", kRenderTypeNames[i]);
    a->setObjectName(QStringLiteral("mRType%1").arg(i));
    rtypeMenuGroup_->addAction(a);
    connect(a, &QAction::triggered, this, [this, i] { SetRenderType(i); });
  }
  QMenu* cull = display->addMenu(U("片面表示"));
  cull->setObjectName(QStringLiteral("mCulling"));
  cullGroup_ = new QActionGroup(cull);
  for (int i = 0; i < 3; ++i) {
    QAction* a = check(cull, "", kCullNames[i]);
    a->setObjectName(QStringLiteral("mCull%1").arg(i));
    cullGroup_->addAction(a);
    connect(a, &QAction::triggered, this, [this, i] { SetCullMode(i); });
  }

  QMenu* view = bar->addMenu(U("ビュー(&V)"));
  view->setObjectName(QStringLiteral("mViewMenu"));
  for (int i = 0; i < 6; ++i) {
    QAction* a = item(view, "", kViewNames[i]);
    a->setObjectName(QStringLiteral("mView%1").arg(i));
    connect(a, &QAction::triggered, this, [this, i] { preview_->SetViewPreset(i); });
  }
  view->addSeparator();
  connect(item(view, "mCameraReset", "カメラリセット"), &QAction::triggered, this,
          [this] { preview_->ResetCamera(); });

  QMenu* option = bar->addMenu(U("ｵﾌﾟｼｮﾝ(&O)"));
  option->setObjectName(QStringLiteral("mOptionMenu"));
  option->setToolTipsVisible(true);
  mSavePos_ = check(option, "mSavePos", "サイズ・位置を保存");
  mSaveFolder_ = check(option, "mSaveFolder", "フォルダ記憶");
  mPluginFirst_ = check(option, "mPluginFirst", "プラグイン優先");
  mPluginFirst_->setStatusTip(U("変更は次回起動から有効"));
  mPluginFirst_->setToolTip(mPluginFirst_->statusTip());
  connect(mPluginFirst_, &QAction::triggered, this, [this] {
    ShowMessage(QStringLiteral("Tarnelle Warning"), U("この変更は次回起動から有効になります。"));
  });
  mArcFolder_ = check(option, "mArcFolder", "圧縮ファイル参照");
  connect(mArcFolder_, &QAction::triggered, this, &TMainForm::SetArchiveBrowsing);
  mThumbnails_ = check(option, "mThumbnails", "サムネイル表示");
  connect(mThumbnails_, &QAction::triggered, this,
          [this](bool on) { thumbnails_->SetEnabled(on); });
  mTextures_ = check(option, "mTextures", "テクスチャ表示");
  connect(mTextures_, &QAction::triggered, this, &TMainForm::SetTextures);
  option->addSeparator();
  mVerClean_ = check(option, "mVerClean", "頂点共有化");
  mPolWise_ = check(option, "mPolWise", "面方向の補正");
  option->addSeparator();
  QAction* opt = item(option, "mOption", "環境設定...");
  opt->setIcon(Icon("option"));
  connect(opt, &QAction::triggered, this, &TMainForm::OptionClick);

  QMenu* help = bar->addMenu(U("Help(&H)"));
  help->setObjectName(QStringLiteral("mHelpMenu"));
  QAction* manual = item(help, "mHelp", "ヘルプ(&H)");
  // F1 is the desktop's key for a program's help; no other item takes it.
  manual->setShortcut(QKeySequence(Qt::Key_F1));
  connect(manual, &QAction::triggered, this, &TMainForm::OpenHelp);
  connect(item(help, "mOperation", "プレビュー操作(&M)"), &QAction::triggered, this,
          [this] { ShowAbout(0); });
  help->addSeparator();
  connect(item(help, "mVersion", "バージョン情報(&A)"), &QAction::triggered, this,
          [this] { ShowAbout(1); });
}

void TMainForm::ApplyPlacement(const AppSettings& s) {
  mSavePos_->setChecked(s.savePlacement);
  QRect want(0, 0, kDesignedWidth, kDesignedHeight);
  bool place = false;
  if (s.savePlacement) {
    const WindowPlacement& p = s.placement;
    want = QRect(p.left, p.top, p.width, p.height);
    // A window stored on a screen that is gone would open where nobody can
    // see it: then only the size is kept, within the desktop.
    for (const QScreen* screen : QGuiApplication::screens()) {
      const QRect seen = want.intersected(screen->availableGeometry());
      if (seen.width() >= 40 && seen.height() >= 20) place = true;
    }
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
      const QSize desk = primary->virtualGeometry().size();
      if (desk.isValid()) want.setSize(want.size().boundedTo(desk));
    }
  }
  resize(want.size());
  if (place) move(want.topLeft());
  settings_.placement.leftPanel = s.savePlacement ? s.placement.leftPanel : kDesignedLeftPanel;
  settings_.placement.listHeight = s.savePlacement ? s.placement.listHeight : kDesignedListHeight;
  hSplit_->setSizes({settings_.placement.leftPanel, want.width()});
  vSplit_->setSizes({settings_.placement.listHeight, want.height()});
}

void TMainForm::FillFormatFilter() {
  filterText_ = BuildFilterText(pipeline_.table);
  const QSignalBlocker block(filter_);
  filter_->clear();
  for (const FilterEntry& e : ParseFilterText(filterText_))
    filter_->addItem(U(e.description), U(e.mask));
  filter_->setCurrentIndex(1);
  FilterChanged(1);
}

// ---------------------------------------------------------------------------
// Window events

void TMainForm::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (shownOnce_) return;
  shownOnce_ = true;
  // The panes now have their real sizes: give the left panel and the list
  // the widths and heights they were designed or stored with.
  const int leftW = settings_.placement.leftPanel;
  const int listH = settings_.placement.listHeight;
  hSplit_->setSizes({leftW, std::max(1, hSplit_->width() - leftW - kSplitterWidth)});
  vSplit_->setSizes({listH, std::max(1, vSplit_->height() - listH - kSplitterWidth)});
  preview_->SetColors(static_cast<int>(settings_.backColor),
                      static_cast<int>(settings_.objectColor));
  preview_->SetAutoRotation(mAutoRot_->isChecked());
  // Without OpenGL the preview never becomes ready; the window works on
  // without it, so the command-line file is still loaded (and logged).
  if (preview_->GLFailed())
    QTimer::singleShot(0, this, [this] {
      if (!previewReady_) FirstPreviewInit();
    });
}

void TMainForm::closeEvent(QCloseEvent* e) {
  if (!closed_) {
    closed_ = true;
    loader_->CancelAndWait();
    preview_->ClearModel();
    CurrentModel.reset();
    SaveSettings();
    DeleteArchiveCache();
  }
  e->accept();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  // The wheel zooms the preview whenever it has the focus, wherever the
  // pointer is inside the window.
  if (event->type() == QEvent::Wheel && watched->isWidgetType() && PreviewHasFocus() &&
      static_cast<QWidget*>(watched)->window() == this) {
    preview_->WheelZoom(static_cast<QWheelEvent*>(event)->angleDelta().y());
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

bool TMainForm::PreviewHasFocus() const {
  const QWidget* f = QApplication::focusWidget();
  return f && (f == preview_ || preview_->isAncestorOf(f));
}

void TMainForm::FirstPreviewInit() {
  previewReady_ = true;
  if (!commandLinePath_.empty()) {
    const std::string path = std::move(commandLinePath_);
    commandLinePath_.clear();
    if (!memberLoad_.member.empty())
      LoadMember(memberLoad_.archivePath, memberLoad_.member);
    else
      RequestLoad(path);
  }
  emit PreviewBecameReady();
  if (!options_.screenshotPath.empty()) QTimer::singleShot(700, this, &TMainForm::TakeScreenshot);
}

void TMainForm::TakeScreenshot() {
  if (Loading()) {
    // The picture is of the loaded model.
    QTimer::singleShot(100, this, &TMainForm::TakeScreenshot);
    return;
  }
  const QString path = QFile::decodeName(options_.screenshotPath.c_str());
  // What the screen shows (the GL panel's own alpha does not matter there).
  QPixmap shot;
  if (QScreen* screen = this->screen()) shot = screen->grabWindow(winId());
  if (shot.isNull()) shot = grab();
  if (!shot.save(path))
    fprintf(stderr, "tarnelle: cannot write %s\n", options_.screenshotPath.c_str());
  close();
}

void TMainForm::TrimMemory() {
  // Never under a running load: trimming would fight the worker for the
  // allocator and hand back pages it is about to fill. Its end starts the
  // timer again.
  if (Loading()) return;
  malloc_trim(0);
}

// ---------------------------------------------------------------------------
// LoadHost

LoadSettings TMainForm::Settings() const {
  LoadSettings s;
  s.filterIndex = filter_->currentIndex() >= 0 ? filter_->currentIndex() : 1;
  s.angle = static_cast<float>(settings_.angle);
  s.cache = settings_.cache;
  s.shareVertices = mVerClean_->isChecked();
  s.fixOrientation = mPolWise_->isChecked();
  s.cullMode = cullMode_;
  s.renderType = renderType_;
  return s;
}

void TMainForm::AppendLog(const std::string& line) {
  memo_->AppendLine(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
}

void TMainForm::AppendLogBlock(const std::string& line) {
  // A message of its own, not one more line of the load before it.
  AppendLog(kLogSeparator);
  AppendLog(line);
}

void TMainForm::StopAutoRotation() { preview_->StopAutoRotation(); }

void TMainForm::BeginWaitCursor() {
  if (waitDepth_++ == 0) g_waitCursor = std::make_unique<WaitCursorGuard>();
}

void TMainForm::EndWaitCursor() {
  if (waitDepth_ > 0 && --waitDepth_ == 0) g_waitCursor.reset();
}

void TMainForm::PreviewClearModel() { preview_->ClearModel(); }
void TMainForm::PreviewSetCullMode(int mode) { preview_->SetCullMode(mode); }
void TMainForm::PreviewSetModel(PolygonModel& model, int renderType) {
  // Only loads on the window's own thread come here: the images too.
  SceneModelFit fit = FitSceneModel(model);
  if (mTextures_->isChecked()) {
    std::vector<std::string> lines;
    fit.images = LoadSurfaceImages(model.appearance, loadingPath_, lines);
    for (const std::string& line : lines) AppendLog(line);
  }
  preview_->SetFittedModel(&model, std::move(fit), renderType);
}

void TMainForm::SetTextures(bool on) {
  preview_->SetTextures(on);
  if (loader_) loader_->decodeTextures = on;
  // A model loaded while they were off has no images yet: read it again.
  if (on && preview_->ImagesMissing()) Reload();
}
void TMainForm::PreviewRepaint() { preview_->Repaint(); }
void TMainForm::StartTrimTimer() { trimTimer_.start(); }

// ---------------------------------------------------------------------------
// Commands

void TMainForm::RequestLoad(const std::string& path, const std::string& displayName) {
  ++loadCount_;
  loadingPath_ = path;
  if (options_.backgroundLoad)
    loader_->Start(path, displayName);
  else
    LoadModelFile(pipeline_, *this, path, displayName);
}

bool TMainForm::Loading() const { return loader_ && loader_->Busy(); }

const std::string& TMainForm::LatestPath() const {
  return Loading() ? loader_->RequestedPath() : pipeline_.lastPath;
}

bool TMainForm::AlreadyShown(const std::string& path) const {
  return loader_ ? loader_->Shows(path, pipeline_.lastPath) : path == pipeline_.lastPath;
}

void TMainForm::OpenPath(const QString& path) {
  const std::string bytes = PathBytes(path);
  if (AlreadyShown(bytes)) return;
  RequestLoad(bytes);
}

void TMainForm::Reload() {
  if (LatestPath().empty()) return;
  const std::string path = LatestPath();
  // A member's copy may be gone (cache off): extract it again.
  if (!memberLoad_.member.empty() && path == memberLoad_.file) {
    const MemberLoad m = memberLoad_;
    LoadMember(m.archivePath, m.member);
    return;
  }
  RequestLoad(path);
}

void TMainForm::OpenDialog() {
  QStringList filters;
  QString second;
  for (const FilterEntry& e : ParseFilterText(filterText_)) {
    filters << QStringLiteral("%1 (%2)").arg(U(e.description), QtMask(e.mask));
    if (filters.size() == 2) second = filters.back();
  }
  const QString path = AskModelFile(this, fileList_->Folder(), filters, second);
  if (!path.isEmpty()) OpenPath(path);
}

void TMainForm::SetRenderType(int type) {
  if (type < 0 || type > 4) return;
  renderType_ = type;
  tbRType_->setIcon(Icon(kRenderTypeIcons[type]));
  rtypeMenuGroup_->actions()[type]->setChecked(true);
  rtypeDropGroup_->actions()[type]->setChecked(true);
  preview_->SetRenderType(type);
}

void TMainForm::NextRenderType() { SetRenderType((renderType_ + 1) % 5); }

void TMainForm::SetCullMode(int mode) {
  if (mode < 0 || mode > 2) return;
  cullMode_ = mode;
  cullGroup_->actions()[mode]->setChecked(true);
  preview_->SetCullMode(mode);
}

void TMainForm::SetViewStyle(int style) {
  if (style < 0 || style > 3) return;
  viewStyle_ = style;
  fileList_->SetViewStyle(style);
  styleButtons_->button(style)->setChecked(true);
}

void TMainForm::ToggleAutoRotation(bool on) {
  mAutoRot_->setChecked(on);
  tbAutoRot_->setChecked(on);
  preview_->SetAutoRotation(on);
}

void TMainForm::SaveImageClick() { imageExport_->Run(this, *preview_, settings_.quality); }

void TMainForm::OptionClick() {
  // The dialog's corner at the tool bar's upper left.
  optDlg_->move(rightPanel_->mapToGlobal(QPoint(4, 0)));
  optDlg_->LoadValues(settings_);
  if (optColorsPending_) {
    optColorsPending_ = false;
    optDlg_->LoadColors(settings_);
    preview_->SetColors(static_cast<int>(settings_.backColor),
                        static_cast<int>(settings_.objectColor));
  }
  optDlg_->KeepColorBackups();
  if (optDlg_->exec() != QDialog::Accepted) return;

  // The angle counts from the next load, the quality from the next save.
  optDlg_->StoreValues(settings_);
  if (!settings_.cache) DeleteArchiveCache();
  UpdateArchiveExtensions();
  optDlg_->StoreColors(settings_);
  preview_->SetColors(static_cast<int>(settings_.backColor),
                      static_cast<int>(settings_.objectColor));
}

void TMainForm::ShowAbout(int page) {
  about_->SetVersionText(QStringLiteral("Version: ") + QString::fromLatin1(kVersion));
  about_->ShowPage(page);
  about_->exec();
}

void TMainForm::OpenHelp() {
  const QString help = QFile::decodeName(helpPath_.c_str());
  // A missing manual is not worth a message. The manual is shown in a
  // window of our own: handing it to the desktop first fails noisily (and
  // slowly) where no opener is installed, and the window always works.
  if (!QFileInfo(help).isFile()) return;
  if (!manual_) manual_ = new TManualWindow(this);
  manual_->ShowFile(help);
}

void TMainForm::ShowMessage(const QString& caption, const QString& text) {
  QMessageBox box(caption.endsWith(QLatin1String("Error"))     ? QMessageBox::Critical
                  : caption.endsWith(QLatin1String("Warning")) ? QMessageBox::Warning
                                                               : QMessageBox::Information,
                  caption, text, QMessageBox::Ok, this);
  box.exec();
}

// ---------------------------------------------------------------------------
// File browser

void TMainForm::FolderChanged(const QString& path) {
  setWindowTitle(QStringLiteral("Tarnelle - ") + path);
  // An archive in the tree lists its members instead of a folder's files.
  archive_->Reset();
  const std::string bytes = PathBytes(path);
  if (mArcFolder_->isChecked() && !FileExtension(bytes).empty() && archive_->Detect(bytes)) {
    fileList_->SetFolder(QString(), false);
    listArea_->setCurrentWidget(memberList_);
    ListArchive();
    return;
  }
  // A file node no module reads (a renamed or broken archive) says so
  // rather than showing an empty list.
  if (mArcFolder_->isChecked() && !bytes.empty() && QFileInfo(path).isFile()) {
    fileList_->SetFolder(QString(), false);
    listArea_->setCurrentWidget(memberList_);
    memberList_->clear();
    AppendLogBlock(archive_->UnlistedText(bytes));
    return;
  }
  listArea_->setCurrentWidget(fileList_);
  // Until the format filter exists (start-up) there is no mask to list by.
  fileList_->SetFolder(path, !filterText_.empty());
}

void TMainForm::FilterChanged(int index) {
  if (index < 0) return;
  const QString mask = filter_->itemData(index).toString();
  filter_->setToolTip(mask);
  const std::string m = mask.toStdString();
  fileList_->SetNameFilter([m](std::string_view name) { return MatchFileMask(name, m); });
  // A listed archive follows the filter as a folder does.
  if (listArea_->currentWidget() == memberList_ && archive_->CurrentArchiver() != kNoArchiver)
    ListArchive();
}

void TMainForm::ListClicked() {
  const std::vector<int> rows = fileList_->SelectedRows();
  if (rows.empty() || fileList_->LastButton() != Qt::LeftButton) return;
  const int row = rows.front();
  const std::string path =
      ListedItemPath(PathBytes(fileList_->Folder()), PathBytes(fileList_->Caption(row)),
                     PathBytes(fileList_->Extension(row)));
  if (AlreadyShown(path)) return;
  RequestLoad(path);
}

// ---------------------------------------------------------------------------
// Archive browsing

void TMainForm::SetArchiveBrowsing(bool on) {
  mArcFolder_->setChecked(on);
  if (!on) {
    const bool listed = listArea_->currentWidget() == memberList_;
    archive_->UnloadModules();
    settings_.archiveExe = false;
    tree_->SetArchiveMode(false);
    // The archive's node is gone: its folder is shown instead.
    if (listed) tree_->SelectPath(U(FolderPartOf(archive_->ArchivePath())));
    return;
  }
  std::string missing;
  const bool ok = archive_->LoadModules(missing);
  if (!missing.empty()) ShowMessage(QStringLiteral("Tarnelle"), U(missing));
  if (!ok) {
    mArcFolder_->setChecked(false);
    mArcFolder_->setEnabled(false);
    settings_.archiveExe = false;
    return;
  }
  tree_->SetArchiveExtensions(U(archive_->TreeExtensions(settings_.archiveExe)));
  tree_->SetArchiveMode(true);
}

void TMainForm::UpdateArchiveExtensions() {
  // Also while browsing is off: the list is ready when it is switched on.
  tree_->SetArchiveExtensions(U(archive_->TreeExtensions(settings_.archiveExe)));
}

void TMainForm::DeleteArchiveCache() { archive_->DeleteCache(); }

void TMainForm::ListArchive() {
  // A compressed tar is read through to its end: that can take a moment.
  BeginWaitCursor();
  const int index = filter_->currentIndex();
  archive_->List(filter_->itemData(index).toString().toStdString(), index == 0);
  EndWaitCursor();
}

void TMainForm::MemberActivated() {
  std::string file, display;
  BeginWaitCursor();
  const TArchiveBrowser::Extraction r = archive_->ExtractSelected(settings_.cache, file, display);
  EndWaitCursor();
  if (r == TArchiveBrowser::Extraction::kNothing) return;
  if (r == TArchiveBrowser::Extraction::kFailed) {
    ShowMessage(QStringLiteral("Tarnelle"), U(kExtractFailedMessage));
    return;
  }
  if (r == TArchiveBrowser::Extraction::kRefused) {
    AppendLogBlock(display);
    return;
  }
  memberLoad_ = {file, archive_->ArchivePath(), archive_->LastMember()};
  RequestLoad(file, display);
}

void TMainForm::LoadMember(const std::string& archivePath, const std::string& member) {
  std::string file, display;
  BeginWaitCursor();
  const TArchiveBrowser::Extraction r =
      archive_->Extract(archivePath, member, settings_.cache, file, display);
  EndWaitCursor();
  if (r == TArchiveBrowser::Extraction::kRefused) {
    AppendLogBlock(display);
    return;
  }
  if (r != TArchiveBrowser::Extraction::kReady) {
    ShowMessage(QStringLiteral("Tarnelle"), U(kExtractFailedMessage));
    return;
  }
  memberLoad_ = {file, archivePath, member};
  RequestLoad(file, display);
}

// File operations and drops

void TMainForm::ListFileOperation(int op) {
  QStringList paths;
  const std::string folder = PathBytes(fileList_->Folder());
  for (int row : fileList_->SelectedRows())
    paths << QFile::decodeName(ListedItemPath(folder, PathBytes(fileList_->Caption(row)),
                                              PathBytes(fileList_->Extension(row)))
                                   .c_str());
  if (!paths.isEmpty()) {
    if (op == 2) {
      fileOps_->Delete(paths);
    } else {
      const FileOpKind kind = op == 0 ? FileOpKind::Copy : FileOpKind::Move;
      QString dest;
      if (fileOps_->ChooseDestination(kind, &dest)) fileOps_->Run(kind, paths, dest);
    }
  }
  tree_->ClearDropTarget();
  // Move and delete show the folder afresh whatever happened; copy leaves it.
  if (op != 0) fileList_->SetFolder(tree_->SelectedPath());
}

void TMainForm::TreeFilesDropped(const QStringList& paths, const QString& folder,
                                 Qt::DropAction action) {
  const bool move = action == Qt::MoveAction;
  const FileOpKind kind = move ? FileOpKind::Move : FileOpKind::Copy;
  const FileOpResult result = fileOps_->Run(kind, paths, folder);
  // A drop has no dialog of its own: the log says what became of it.
  AppendLogBlock(FileOpSummaryText(kind, result, PathBytes(folder)));
  if (move) fileList_->SetFolder(tree_->SelectedPath());
}

void TMainForm::dragEnterEvent(QDragEnterEvent* e) {
  if (FirstDroppedFile(e->mimeData()).isEmpty())
    e->ignore();
  else
    e->acceptProposedAction();
}

void TMainForm::dragMoveEvent(QDragMoveEvent* e) {
  if (FirstDroppedFile(e->mimeData()).isEmpty())
    e->ignore();
  else
    e->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* e) {
  const QString path = FirstDroppedFile(e->mimeData());
  if (path.isEmpty()) {
    e->ignore();
    return;
  }
  e->acceptProposedAction();
  // Loaded once the drop has returned to the program it came from.
  QTimer::singleShot(0, this, [this, bytes = PathBytes(path)] { RequestLoad(bytes); });
}

// ---------------------------------------------------------------------------
// Settings

AppSettings TMainForm::CurrentSettings() const {
  AppSettings s = settings_;
  s.savePlacement = mSavePos_->isChecked();
  const QRect g = isMaximized() || isMinimized() ? normalGeometry() : QRect(pos(), size());
  s.placement.left = g.x();
  s.placement.top = g.y();
  s.placement.width = g.width();
  s.placement.height = g.height();
  if (shownOnce_) {
    s.placement.leftPanel = leftPanel_->width();
    s.placement.listHeight = listArea_->height();
  }
  s.viewType = viewStyle_;
  s.rememberFolder = mSaveFolder_->isChecked();
  QString folder = fileList_->Folder();
  // While an archive is listed: the folder that holds it, without a trailing "/".
  if (folder.isEmpty()) folder = U(FolderPartOf(tree_->SelectedPath().toStdString()));
  if (folder.size() > 1 && folder.endsWith('/')) folder.chop(1);
  s.lastPath = PathBytes(folder);
  s.renderType = renderType_;
  s.cullMode = cullMode_;
  s.autoRotation = mAutoRot_->isChecked();
  s.pluginsFirst = mPluginFirst_->isChecked();
  s.thumbnails = mThumbnails_->isChecked();
  s.textures = mTextures_->isChecked();
  s.shareVertices = mVerClean_->isChecked();
  s.fixOrientation = mPolWise_->isChecked();
  s.archiveBrowsing = mArcFolder_->isChecked();
  return s;
}

void TMainForm::SaveSettings() {
  // Re-read first so that keys other programs or people added meanwhile
  // survive; a file that cannot be written is not worth a message.
  IniFile ini;
  ini.Load(iniPath_);
  WriteSettings(ini, CurrentSettings());
  ini.Save(iniPath_);
}

QAction* TMainForm::MenuAction(const char* objectName) const {
  if (QAction* a = findChild<QAction*>(QLatin1String(objectName))) return a;
  for (QAction* a : listMenu_->actions())
    if (a->objectName() == QLatin1String(objectName)) return a;
  return nullptr;
}

QToolButton* TMainForm::ToolButton(const char* objectName) const {
  return findChild<QToolButton*>(QLatin1String(objectName));
}

QWidget* TMainForm::ListArea() const { return listArea_; }

QPlainTextEdit* TMainForm::Memo() const { return memo_; }
