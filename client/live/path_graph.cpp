#include "path_graph.h"

#include <QPainter>
#include <QPainterPath>

#include "window_rules.h"

namespace {

constexpr int kHeight = 76;
constexpr int kPadding = 8;
constexpr int kTextHeight = 18;
constexpr int kLeastScaleMs = 50;
constexpr char kDirectColour[] = "#5b8cff";

}  // namespace

PathGraph::PathGraph(const zv::PathHistory& history, QWidget* parent) : QWidget(parent), history(history) {
  setObjectName("pathGraph");
  setFixedHeight(kHeight);
  setAccessibleName(zv::Tr("线路延迟历史"));
  setToolTip(zv::Tr("粗线：经加速节点的延迟；细线：直连游戏服务器的延迟"));
  Refresh();
}

void PathGraph::Refresh() {
  setAccessibleDescription(zv::SummaryText(history.Stats()));
  update();
}

void PathGraph::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor("#285540"), 1));
  painter.setBrush(QColor("#12251d"));
  painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);

  const zv::PathStats stats = history.Stats();
  QFont small = font();
  small.setPixelSize(12);
  painter.setFont(small);
  painter.setPen(QColor("#9aa6bd"));
  const QRect text(kPadding + 4, kPadding - 2, width() - 2 * kPadding - 8, kTextHeight);
  painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                   painter.fontMetrics().elidedText(zv::SummaryText(stats), Qt::ElideRight, text.width()));

  // The newest sample at the right edge, one slot a second.
  const auto& samples = history.Samples();
  int highestMs = stats.maxMs;
  for (const zv::PathSample& sample : samples) highestMs = std::max(highestMs, sample.directMs);
  const QRectF plot(kPadding, kPadding + kTextHeight, width() - 2 * kPadding, height() - 2 * kPadding - kTextHeight);
  const double slot = plot.width() / static_cast<double>(zv::PathHistory::kSamples);
  const double scale = std::max(kLeastScaleMs, highestMs + highestMs / 4);
  const std::size_t first = zv::PathHistory::kSamples - samples.size();
  const auto at = [&](std::size_t i, int ms) {
    return QPointF(plot.left() + (first + i + 0.5) * slot, plot.bottom() - plot.height() * std::min(1.0, ms / scale));
  };
  // The game's server outside the tunnel, thin, under the tunnel's line: what the acceleration is measured against.
  QPainterPath direct;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].directMs < 0) continue;
    i > 0 && samples[i - 1].directMs >= 0 ? direct.lineTo(at(i, samples[i].directMs)) : direct.moveTo(at(i, samples[i].directMs));
  }
  painter.setPen(QPen(QColor(kDirectColour), 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(direct);
  QPainterPath line;
  bool joined = false;
  painter.setPen(QPen(QColor("#f26d6d"), std::max(1.5, slot)));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double x = plot.left() + (first + i + 0.5) * slot;
    if (samples[i].kind == zv::PathSample::Kind::Lost) {
      painter.drawLine(QPointF(x, plot.bottom()), QPointF(x, plot.bottom() - plot.height() * 0.4));
    }
    if (samples[i].kind != zv::PathSample::Kind::Answered) {
      joined = false;
      continue;
    }
    const QPointF point = at(i, samples[i].rttMs);
    joined ? line.lineTo(point) : line.moveTo(point);
    // A lone answer between losses or gaps would draw no line at all.
    if (!joined) line.addEllipse(point, 1, 1);
    joined = true;
  }
  painter.setPen(QPen(QColor("#6be1a9"), 1.5));
  painter.drawPath(line);
}
