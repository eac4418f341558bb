// Driving the real window as a user does: waiting while its events run, and
// finding a button by its text. Free of any test framework, so that zv-road
// uses it too.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <functional>

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

}  // namespace zv::test
