#include <QApplication>

#include "app_identity.h"
#include "main_window.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);  // closing the window only hides it in the tray
  zv::ApplyApplicationIdentity();
  MainWindow window;
  window.show();
  return QApplication::exec();
}
