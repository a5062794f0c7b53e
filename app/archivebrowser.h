// The window's side of archive browsing: owns the archiver table and the
// cache state, fills the member list ListView1 and sorts it on a header
// click, and extracts the selected member for the main window to load.
#pragma once

#include <QObject>
#include <string>
#include <vector>

#include "archive/archiver_table.h"
#include "archive/extract.h"
#include "archive/members.h"

class QTreeWidget;

class TArchiveBrowser : public QObject {
  Q_OBJECT

 public:
  // list is the member list (ListView1), set up here; modules are looked
  // for as search says; the cache lives in cacheFolder (with a trailing "/").
  TArchiveBrowser(QTreeWidget* list, ArchiverSearch search, std::string cacheFolder,
                  std::string exePath, QObject* parent = nullptr);
  ~TArchiveBrowser() override;

  // Loads the modules afresh; true when the LHA or ZIP slot loaded. message
  // names the missing modules (empty when none is missing).
  bool LoadModules(std::string& message);
  void UnloadModules();
  // The archive extension list for the folder tree (",.exe" appended on request).
  std::string TreeExtensions(bool withExe) const;

  // No archiver serves the listing any more (every folder change).
  void Reset();
  // Whether a loaded archiver accepts path; it then becomes the current one.
  bool Detect(const std::string& path);
  int CurrentArchiver() const { return current_; }
  const std::string& ArchivePath() const { return archivePath_; }
  // Lists the current archive's members whose extension mask names (every
  // member when everyMember); the list is cleared first. A listing that
  // stopped at damage says so through LogLine.
  void List(const std::string& mask, bool everyMember);
  // The log line for a file that no module lists (the last Detect failed).
  std::string UnlistedText(const std::string& path) const;
  void SortBy(int column);
  int SortKey() const { return sortKey_; }
  const std::vector<MemberRow>& Rows() const { return rows_; }

  enum class Extraction { kNothing, kFailed, kRefused, kReady };
  // Extracts the selected member into the cache; on kReady, file is the
  // copy to load and displayName what the log shows for it; on kRefused,
  // displayName is the log line that says why nothing was written.
  Extraction ExtractSelected(bool useCache, std::string& file, std::string& displayName);
  // The same for any member of any archive a module reads (reload, the
  // command line); loads the modules first when they are not loaded.
  Extraction Extract(const std::string& archivePath, const std::string& member, bool useCache,
                     std::string& file, std::string& displayName);
  // Removes the cache folder with everything in it.
  void DeleteCache();
  const ArchiveCache& Cache() const { return cache_; }
  // The member path of the latest extraction.
  const std::string& LastMember() const { return lastMember_; }
  const ArchiverTable& Table() const { return table_; }

 signals:
  // A left click or Enter on a member (arrow keys only move the selection).
  void MemberActivated();
  // A line for the log.
  void LogLine(const std::string& line);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Fill();
  Extraction ExtractWith(const ArchiverSlot& slot, const std::string& archivePath,
                         const std::string& member, bool useCache, std::string& file,
                         std::string& displayName);

  QTreeWidget* list_;
  ArchiverSearch search_;
  std::string exePath_;
  ArchiverTable table_;
  ArchiveCache cache_;
  int current_ = kNoArchiver;
  std::string archivePath_;
  int sortKey_ = 1;  // kept for the whole run, across archives
  std::vector<MemberRow> rows_;
  std::string lastMember_;
};
