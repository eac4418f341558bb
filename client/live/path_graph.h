// The path's last few minutes at a glance: the round trip as a line, each
// unanswered echo as a red tick, with its minimum, average, maximum and jitter;
// and the game's server outside the tunnel as a second, thin line.
#pragma once

#include <QWidget>

#include "path_history.h"

class PathGraph : public QWidget {
 public:
  PathGraph(const zv::PathHistory& history, QWidget* parent = nullptr);
  void Refresh();  // after the history changed

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const zv::PathHistory& history;
};
