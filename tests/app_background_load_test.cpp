// Loads in the window run on a worker: the window goes on meanwhile, a new
// request cancels the running load, and Esc or Cancel stop it. A gate in
// the load's progress hook holds the worker at a known point.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>

#include "app/backgroundload.h"
#include "app/loadprogress.h"
#include "app/mainform.h"
#include "core/model.h"
#include "preview/pview.h"
#include "test_util.h"
#include "window_harness.h"

namespace {

// Holds the worker at the first check that matches until opened.
class Gate {
 public:
  ~Gate() { Open(); }
  // stage 0: the first check of the reading; k: preparation stage k.
  void Arm(int stage) {
    std::lock_guard lock(m_);
    armedStage_ = stage;
    armed_ = true;
    open_ = held_ = false;
  }
  void Check(LoadControl& c) {
    std::unique_lock lock(m_);
    if (!armed_ || c.stage.load() != armedStage_) return;
    armed_ = false;
    held_ = true;
    cv_.wait(lock, [&] { return open_; });
  }
  bool Held() {
    std::lock_guard lock(m_);
    return held_;
  }
  void Open() {
    {
      std::lock_guard lock(m_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int armedStage_ = 0;
  bool armed_ = false, open_ = false, held_ = false;
};

std::string BinaryStl(int facets) {
  std::string s(80, ' ');
  PutU32(s, static_cast<unsigned>(facets));
  for (int i = 0; i < facets; ++i) {
    for (int k = 0; k < 3; ++k) PutF32(s, 0);
    const float x = static_cast<float>(i);
    for (float f : {x, 0.f, 0.f, x + 1, 0.f, 0.f, x, 1.f, 0.f}) PutF32(s, f);
    PutU16(s, 0);
  }
  return s;
}

class BackgroundLoad : public testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    dir_ = TempDir() + "/bg" + std::to_string(++serial);
    std::filesystem::create_directories(dir_);
    big_ = Put("big.stl", BinaryStl(20000));
    obj_ = Put("tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\nf 1 2 3\nf 2 4 3\n");
    StartWindow(false);
  }
  void StartWindow(bool plugins) {
    if (w_) w_->close();
    MainFormOptions o;
    o.exePath = dir_ + "/tarnelle";
    o.iniPath = dir_ + "/tarnelle.ini";
    o.helpPath = dir_ + "/missing.html";
    o.readPlugins = plugins;
    w_ = std::make_unique<TMainForm>(o);
    w_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w_.get()));
    ASSERT_TRUE(WaitFor([&] { return w_->PreviewReady(); }));
    w_->Loader()->SetCheckpointHook([this](LoadControl& c) { gate_.Check(c); });
  }
  void TearDown() override {
    gate_.Open();
    if (w_) w_->close();
    w_.reset();
  }
  std::string Put(const char* name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_TRUE(f);
    if (f) {
      fwrite(bytes.data(), 1, bytes.size(), f);
      fclose(f);
    }
    return path;
  }
  QStringList Log() const { return w_->Memo()->toPlainText().split('\n', Qt::SkipEmptyParts); }
  void Load(const std::string& path) { w_->OpenPath(QString::fromStdString(path)); }

  std::string dir_, big_, obj_;
  Gate gate_;
  std::unique_ptr<TMainForm> w_;
};

TEST_F(BackgroundLoad, TheWindowGoesOnAndANewRequestReplacesTheRunningLoad) {
  gate_.Arm(0);
  Load(big_);
  ASSERT_TRUE(WaitFor([&] { return gate_.Held(); }));
  EXPECT_TRUE(w_->Loading());
  // The event loop runs while the worker is inside the reader.
  bool fired = false;
  QTimer::singleShot(1, [&] { fired = true; });
  EXPECT_TRUE(WaitFor([&] { return fired; }));
  w_->resize(w_->width() + 20, w_->height());
  // The bar comes after a moment, naming the file.
  TLoadProgress* bar = w_->Loader()->Progress();
  EXPECT_TRUE(WaitFor([&] { return bar->isVisible(); }));
  EXPECT_NE(bar->findChild<QLabel*>()->toolTip().indexOf("big.stl"), -1);

  // A render type chosen meanwhile holds for the model that arrives.
  w_->SetRenderType(3);

  // Two more requests while it is held: only the newest is loaded, and the
  // one it replaced before it started shows as cancelled.
  Load(big_ + ".missing");
  Load(obj_);
  EXPECT_EQ(w_->LoadCount(), 3);
  gate_.Open();
  ASSERT_TRUE(WaitForLoad(*w_));
  EXPECT_EQ(Log(), QStringList({"----------", "file: " + QString::fromStdString(big_),
                                "...読み込みを中止しました。", "----------",
                                "file: " + QString::fromStdString(big_ + ".missing"),
                                "...読み込みを中止しました。", "----------",
                                "Wavefront: " + QString::fromStdString(obj_),
                                " > 頂点数 = 4, ポリゴン数 = 2"}));
  EXPECT_EQ(w_->Preview()->SceneState().polygonCount, 2);
  EXPECT_EQ(w_->Preview()->RenderType(), 3);
  EXPECT_EQ(w_->CurrentPath(), obj_);
  EXPECT_FALSE(bar->isVisible());
}

TEST_F(BackgroundLoad, EscOrCancelStopsTheLoadAndLeavesThePreviewEmpty) {
  struct Case {
    const char* what;
    int stage;  // held at this check
    bool escape;
    const char* second;  // the log line after the separator
    int lines;
  };
  const Case cases[] = {
      {"cancel button while reading", 0, false, "file: ", 3},
      {"Esc in preparation", 2, true, "STL format: ", 4},  // the counts came before
  };
  w_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w_.get()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Something shown first: the cancelled load must take it away.
    Load(obj_);
    ASSERT_TRUE(WaitForLoad(*w_));
    ASSERT_EQ(w_->Preview()->SceneState().polygonCount, 2);
    const qsizetype before = Log().size();

    gate_.Arm(c.stage);
    Load(big_);
    ASSERT_TRUE(WaitFor([&] { return gate_.Held(); }));
    if (c.escape) {
      QTest::keyClick(w_.get(), Qt::Key_Escape);
    } else {
      TLoadProgress* bar = w_->Loader()->Progress();
      ASSERT_TRUE(WaitFor([&] { return bar->isVisible(); }));
      QTest::mouseClick(bar->CancelButton(), Qt::LeftButton);
    }
    gate_.Open();
    ASSERT_TRUE(WaitForLoad(*w_));
    const QStringList added = Log().mid(before);
    ASSERT_EQ(added.size(), c.lines);
    EXPECT_EQ(added.front(), "----------");
    EXPECT_EQ(added[1], c.second + QString::fromStdString(big_));
    EXPECT_EQ(added.back(), "...読み込みを中止しました。");
    EXPECT_EQ(w_->Preview()->SceneState().polygonCount, 0);
    EXPECT_EQ(CurrentModel, nullptr);
    EXPECT_EQ(w_->CurrentPath(), big_);
    // Esc means nothing once the load is over.
    QTest::keyClick(w_.get(), Qt::Key_Escape);
    EXPECT_EQ(Log().mid(before), added);
    // A cancelled file is not a loaded one: opening it again loads it.
    const int count = w_->LoadCount();
    Load(big_);
    EXPECT_EQ(w_->LoadCount(), count + 1);
    ASSERT_TRUE(WaitForLoad(*w_));
    EXPECT_EQ(w_->Preview()->SceneState().polygonCount, 20000);
    EXPECT_EQ(Log().mid(before + c.lines).first(2),
              QStringList({"----------", "STL format: " + QString::fromStdString(big_)}));
  }
}

TEST_F(BackgroundLoad, APlugInReaderRunsOnTheWorkerToo) {
  std::filesystem::create_directories(dir_ + "/Plugin");
  std::filesystem::copy_file(TARNELLE_BINARY_DIR "/app/Plugin/off.so", dir_ + "/Plugin/off.so");
  StartWindow(true);
  const std::string off = Put("quad.off", "OFF\n4 1 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3\n");
  Load(off);
  EXPECT_TRUE(w_->Loading());
  ASSERT_TRUE(WaitForLoad(*w_));
  EXPECT_EQ(Log(), QStringList({"----------", "Object File Format: " + QString::fromStdString(off),
                                " > 頂点数 = 4, ポリゴン数 = 1"}));
  EXPECT_EQ(w_->Preview()->SceneState().polygonCount, 1);
}

}  // namespace
