// Driving the real window as a user does: waiting while its events run, and
// finding a button by its text. Free of any test framework, so that zv-road
// uses it too.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QThread>
#include <atomic>
#include <functional>

#include "single_instance.h"

namespace zv::test {

inline bool WaitFor(const std::function<bool()>& condition, int ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

inline QPushButton* ButtonWithText(QWidget& parent, const QString& text) {
  for (QPushButton* button : parent.findChildren<QPushButton*>()) {
    if (button->text() == text) return button;
  }
  return nullptr;
}

// The running client's channel, answering from an event loop of its own as the
// running client does, while a test's later start asks it from this thread.
class FirstClient {
 public:
  explicit FirstClient(const std::function<SingleInstance*()>& make) {
    onThread.moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(
        &onThread, [&] {
          instance = make();
          QObject::connect(instance, &SingleInstance::ShowRequested, [this] { shown = true; });
        },
        Qt::BlockingQueuedConnection);
  }
  ~FirstClient() {
    QMetaObject::invokeMethod(&onThread, [this] { delete instance; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
  }
  SingleInstance* instance = nullptr;
  std::atomic<bool> shown{false};

 private:
  QThread thread;
  QObject onThread;
};

}  // namespace zv::test
