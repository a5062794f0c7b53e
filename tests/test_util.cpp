#include "tests/test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::string TempDir() {
  static std::string dir = [] {
    std::string tmpl = (fs::temp_directory_path() / "tarnelle-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) abort();
    std::string d = buf.data();
    // Removed when the test process ends.
    static struct Cleanup {
      std::string path;
      ~Cleanup() {
        std::error_code ec;
        if (path.size() > 5) fs::remove_all(path, ec);
      }
    } cleanup{d};
    return d;
  }();
  return dir;
}

std::string WriteTemp(const std::string& name, std::string_view bytes) {
  const std::string path = TempDir() + "/" + name;
  // Unlinking first is much cheaper here than truncating a file in place.
  unlink(path.c_str());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::string CorpusDir() {
  const char* env = getenv("TARNELLE_CORPUS");
  return env && *env ? env : TARNELLE_CORPUS;
}

std::vector<std::string> CorpusFiles(const std::string& subdir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(CorpusDir()) / subdir, ec))
    if (e.is_regular_file()) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::string CorpusSkipReason(const std::string& subdir) {
  const std::string dir = CorpusDir();
  std::error_code ec;
  if (!fs::is_directory(dir, ec))
    return "no corpus at " + dir +
           " (put it at ../shared/corpus beside the checkout or set TARNELLE_CORPUS)";
  return "no files in " + (fs::path(dir) / subdir).string();
}

std::map<std::string, ManifestRow> ReadManifest() {
  std::map<std::string, ManifestRow> rows;
  std::ifstream f(CorpusDir() + "/manifest.tsv");
  std::string line;
  std::vector<std::string> header;
  auto split = [](const std::string& l) {
    std::vector<std::string> cols;
    std::stringstream ss(l);
    std::string c;
    while (std::getline(ss, c, '\t')) cols.push_back(c);
    return cols;
  };
  if (!std::getline(f, line)) return rows;
  header = split(line);
  while (std::getline(f, line)) {
    const auto cols = split(line);
    ManifestRow row;
    for (size_t i = 0; i < header.size() && i < cols.size(); ++i) row[header[i]] = cols[i];
    if (!cols.empty()) rows[cols[0]] = row;
  }
  return rows;
}

long NoteValue(const std::string& notes, const std::string& key) {
  const std::string k = key + "=";
  size_t pos = 0;
  while ((pos = notes.find(k, pos)) != std::string::npos) {
    if (pos == 0 || notes[pos - 1] == ' ' || notes[pos - 1] == ';') {
      return strtol(notes.c_str() + pos + k.size(), nullptr, 10);
    }
    pos += k.size();
  }
  return -1;
}

namespace {
std::string Slurp(int fd) {
  std::string s;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}
}  // namespace

RunResult RunTarnelle(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  return RunExecutable(std::string(TARNELLE_BINARY_DIR) + "/app/tarnelle", args, env);
}

RunResult RunExecutable(const std::string& exe, const std::vector<std::string>& args,
                        const std::vector<std::string>& env) {
  RunResult r;
  const std::string outPath = TempDir() + "/run.out", errPath = TempDir() + "/run.err";
  const pid_t pid = fork();
  if (pid == 0) {
    const int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    for (const std::string& v : env) {
      const size_t eq = v.find('=');
      if (eq == std::string::npos)
        unsetenv(v.c_str());
      else
        setenv(v.substr(0, eq).c_str(), v.c_str() + eq + 1, 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const int o = open(outPath.c_str(), O_RDONLY), e = open(errPath.c_str(), O_RDONLY);
  r.out = Slurp(o);
  r.err = Slurp(e);
  close(o);
  close(e);
  return r;
}

void PutU16(std::string& s, unsigned v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void PutU32(std::string& s, unsigned v) {
  PutU16(s, v & 0xFFFF);
  PutU16(s, v >> 16);
}
void PutF32(std::string& s, float v) {
  unsigned u;
  memcpy(&u, &v, 4);
  PutU32(s, u);
}

std::string AnyTimeLimit(std::string text) {
  static const std::string kBefore = "時間の上限 (", kAfter = " 秒)";
  for (size_t at = text.find(kBefore); at != std::string::npos;
       at = text.find(kBefore, at + kBefore.size())) {
    const size_t from = at + kBefore.size();
    const size_t to = text.find_first_not_of("0123456789", from);
    if (to == from || to == std::string::npos || text.compare(to, kAfter.size(), kAfter) != 0)
      continue;
    text.replace(from, to - from, "N");
  }
  return text;
}

LoopbackListener::LoopbackListener() {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 4) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() {
  if (fd >= 0) close(fd);
}

bool LoopbackListener::Contacted() const {
  const int c = accept(fd, nullptr, nullptr);
  if (c >= 0) close(c);
  return c >= 0;
}
