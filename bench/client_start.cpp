// From process start to the main window shown, and the resident memory then,
// for the real MainWindow on the offscreen platform. One line of output:
//   start_to_shown_ms N resident_kib M
#include <QApplication>
#include <fstream>
#include <iostream>
#include <string>
#include <unistd.h>

#include "app_identity.h"
#include "main_window.h"

namespace {

// Milliseconds since this process started, from /proc's start time in clock ticks.
double SinceProcessStart() {
  std::ifstream stat("/proc/self/stat");
  std::string field;
  for (int i = 0; i < 22 && stat >> field; ++i) {
  }
  double uptime = 0;
  std::ifstream("/proc/uptime") >> uptime;
  return (uptime - std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK))) * 1000.0;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  zv::ApplyApplicationIdentity();
  MainWindow window;
  window.show();
  QApplication::processEvents();
  std::cout << "start_to_shown_ms " << SinceProcessStart() << " resident_kib " << ResidentKiB() << "\n";
  return window.isVisible() ? 0 : 1;
}
