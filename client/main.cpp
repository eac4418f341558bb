#include <QApplication>

#include "app_identity.h"
#include "main_window.h"
#include "single_instance.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);  // closing the window only hides it in the tray
  zv::ApplyApplicationIdentity();
  SingleInstance instance;
  if (instance.Outcome() == SingleInstance::Start::ShownOther) return 0;  // the running client showed itself
  MainWindow window;
  QObject::connect(&instance, &SingleInstance::ShowRequested, &window, [&window] { window.ShowWindow(); });
  if (instance.Outcome() == SingleInstance::Start::OtherUnresponsive) {
    window.ShowNote(QApplication::translate("QMainWindow", "另一个Zentravolk客户端没有响应，已启动新的客户端"));
  }
  window.show();
  return QApplication::exec();
}
