// One entry point for the client's test programs: a Qt application on the
// offscreen platform, with the client's identity and a settings store of its own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include "app_identity.h"

int main(int argc, char** argv) {
  // A common laptop screen's work area: 1366 x 768 below a 40 px taskbar, or
  // the screen ZV_TEST_SCREEN names (with QT_SCALE_FACTOR for a scaled one). The
  // Windows tests run on the platform's own plugin instead, on a display of their own.
  if (!qEnvironmentVariableIsSet("ZV_TEST_NATIVE_PLATFORM")) {
    const QByteArray screen = qEnvironmentVariable("ZV_TEST_SCREEN", "laptop-screen.json").toUtf8();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" ZV_TEST_DATA "/" + screen);
  }
  QTemporaryDir settings, runtime;  // the runtime folder is 0700, as the user's own is
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  QApplication application(argc, argv);
  zv::ApplyApplicationIdentity();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
