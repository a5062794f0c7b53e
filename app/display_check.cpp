#include "app/display_check.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// Connects to a Unix socket by path; abstract names start with '\0'.
bool CanConnect(const std::string& name) {
  sockaddr_un addr{};
  if (name.size() >= sizeof addr.sun_path) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // cannot tell: let the toolkit try
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, name.data(), name.size());
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::string MissingDisplayReason() {
  const std::string platform = Env("QT_QPA_PLATFORM");
  if (!platform.empty() && platform.rfind("xcb", 0) != 0) return {};
  if (platform.empty() && !Env("WAYLAND_DISPLAY").empty()) return {};
  const std::string display = Env("DISPLAY");
  if (display.empty()) return "no display to show the viewer on (DISPLAY is not set)";
  // ":N", ":N.S" and "unix:N" are this machine's X server N; anything else
  // names a host and is left to the toolkit.
  std::string_view d = display;
  if (d.rfind("unix:", 0) == 0) d.remove_prefix(4);
  if (d.empty() || d[0] != ':') return {};
  d.remove_prefix(1);
  const size_t dot = d.find('.');
  const std::string_view number = d.substr(0, dot);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) return {};
  const std::string socketPath = "/tmp/.X11-unix/X" + std::string(number);
  if (CanConnect(socketPath) || CanConnect(std::string(1, '\0') + socketPath)) return {};
  return "cannot open display " + display + " to show the viewer on";
}
