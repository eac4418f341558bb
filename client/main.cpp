#include <QApplication>

#include "app_identity.h"
#include "main_window.h"
#include "single_instance.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);  // closing the window only hides it in the tray
  zv::ApplyApplicationIdentity();
  SingleInstance instance;
  if (!instance.First()) return 0;  // the running client shows its window instead
  MainWindow window;
  QObject::connect(&instance, &SingleInstance::ShowRequested, &window, [&window] { window.ShowWindow(); });
  window.show();
  return QApplication::exec();
}
