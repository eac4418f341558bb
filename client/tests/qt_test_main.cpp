// One entry point for the client's test programs: a Qt application on the
// offscreen platform, with the client's identity and a settings store of its own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include "app_identity.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir settings;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
  QApplication application(argc, argv);
  zv::ApplyApplicationIdentity();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
