// SweepPlot.cpp: see SweepPlot.h. Painted with QPainter on the offscreen
// platform, like `korvane plot`.
#include "app/SweepPlot.h"

#include "app/Commands.h"

#include <QFileInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <set>

#include "editor/RunPlot.h"
#include "sweep/Sweep.h"
#include "util/Variant.h"

namespace korvane::app {

namespace {

namespace fs = std::filesystem;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

QString Q(const std::string& text) { return QString::fromStdString(text); }

// Low RMSE dark blue, high pale yellow.
QColor Shade(double t) {
  t = std::clamp(t, 0.0, 1.0);
  const QColor low(33, 49, 140), mid(33, 145, 140), high(253, 231, 37);
  auto mix = [](const QColor& a, const QColor& b, double u) {
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * u),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * u),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * u));
  };
  return t < 0.5 ? mix(low, mid, t * 2) : mix(mid, high, (t - 0.5) * 2);
}

const QColor kSeries[] = {QColor(31, 119, 180), QColor(214, 39, 40), QColor(44, 160, 44), QColor(148, 103, 189),
                          QColor(255, 127, 14), QColor(140, 86, 75)};

struct Axes {
  QRectF frame;
  double xLow, xHigh, yLow, yHigh;
  double X(double x) const { return frame.left() + (x - xLow) / (xHigh - xLow) * frame.width(); }
  double Y(double y) const { return frame.bottom() - (y - yLow) / (yHigh - yLow) * frame.height(); }
};

void DrawAxes(QPainter& p, const Axes& axes, const std::vector<std::pair<double, QString>>& xTicks,
              const QString& xLabel, const QString& yLabel) {
  const QFontMetricsF metrics(p.font());
  for (double t : editor::NiceTicks(axes.yLow, axes.yHigh, 5)) {
    const double y = axes.Y(t);
    p.setPen(QColor(225, 225, 225));
    p.drawLine(QPointF(axes.frame.left(), y), QPointF(axes.frame.right(), y));
    p.setPen(Qt::black);
    const QString text = Q(FormatNumber(t));
    p.drawText(QPointF(axes.frame.left() - 6 - metrics.horizontalAdvance(text), y + metrics.ascent() / 2.5), text);
  }
  for (const auto& [x, text] : xTicks) {
    const double px = axes.X(x);
    p.drawText(QPointF(px - metrics.horizontalAdvance(text) / 2, axes.frame.bottom() + 4 + metrics.ascent()), text);
  }
  p.setPen(QColor(90, 90, 90));
  p.drawRect(axes.frame.toAlignedRect().adjusted(0, 0, -1, -1));
  p.setPen(Qt::black);
  p.drawText(QPointF(axes.frame.center().x() - metrics.horizontalAdvance(xLabel) / 2,
                     axes.frame.bottom() + 8 + 2 * metrics.height()),
             xLabel);
  p.save();
  p.translate(axes.frame.left() - 50, axes.frame.center().y() + metrics.horizontalAdvance(yLabel) / 2);
  p.rotate(-90);
  p.drawText(QPointF(0, 0), yLabel);
  p.restore();
}

// Positions of a key's values on an axis: the numbers themselves when all are
// numbers, else 0, 1, 2, ...
std::vector<double> Positions(const std::vector<std::string>& values) {
  std::vector<double> out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!IsNumericText(values[i])) {
      out.clear();
      for (std::size_t j = 0; j < values.size(); ++j) out.push_back(static_cast<double>(j));
      return out;
    }
    out.push_back(ReadNumber(values[i]));
  }
  return out;
}

void PaintLine(QPainter& p, const QRectF& area, const sweep::SweepDefinition& d,
               const std::vector<sweep::PointOutcome>& outcomes, const sweep::PointOutcome& best) {
  const auto& values = d.vary[0].values;
  const auto xs = Positions(values);
  std::vector<double> rmse(values.size(), kNaN);
  for (const auto& o : outcomes)
    if (o.fit) {
      const auto at = std::find(values.begin(), values.end(), o.point.values[0]) - values.begin();
      rmse[at] = o.fit->rmse;
    }
  double high = 0;
  for (double r : rmse)
    if (!std::isnan(r)) high = std::max(high, r);
  Axes axes{area.adjusted(70, 10, -10, -50), xs.front(), xs.back(), 0, high > 0 ? high * 1.1 : 1};
  if (axes.xHigh == axes.xLow) {
    axes.xLow -= 1;
    axes.xHigh += 1;
  }
  const double pad = (axes.xHigh - axes.xLow) * 0.05;
  axes.xLow -= pad;
  axes.xHigh += pad;
  std::vector<std::pair<double, QString>> ticks;
  for (std::size_t i = 0; i < values.size(); ++i) ticks.push_back({xs[i], Q(values[i])});
  DrawAxes(p, axes, ticks, Q(d.vary[0].key), "RMSE against the target");
  p.setRenderHint(QPainter::Antialiasing, true);
  QPainterPath path;
  bool started = false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::isnan(rmse[i])) continue;
    const QPointF point(axes.X(xs[i]), axes.Y(rmse[i]));
    if (!started) path.moveTo(point);
    else path.lineTo(point);
    started = true;
  }
  p.setPen(QPen(kSeries[0], 2));
  p.drawPath(path);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::isnan(rmse[i])) continue;
    const bool isBest = values[i] == best.point.values[0];
    p.setBrush(isBest ? QColor(214, 39, 40) : kSeries[0]);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(axes.X(xs[i]), axes.Y(rmse[i])), isBest ? 6 : 4, isBest ? 6 : 4);
  }
  p.setBrush(Qt::NoBrush);
  p.setRenderHint(QPainter::Antialiasing, false);
}

void PaintHeatMap(QPainter& p, const QRectF& area, const sweep::SweepDefinition& d,
                  const std::vector<sweep::PointOutcome>& outcomes, const sweep::PointOutcome& best) {
  const auto& xValues = d.vary[0].values;
  const auto& yValues = d.vary[1].values;
  // Each cell: the smallest RMSE over the keys beyond the first two.
  std::vector<std::vector<double>> cell(xValues.size(), std::vector<double>(yValues.size(), kNaN));
  double low = std::numeric_limits<double>::infinity(), high = -low;
  for (const auto& o : outcomes) {
    if (!o.fit) continue;
    const auto x = std::find(xValues.begin(), xValues.end(), o.point.values[0]) - xValues.begin();
    const auto y = std::find(yValues.begin(), yValues.end(), o.point.values[1]) - yValues.begin();
    double& c = cell[x][y];
    if (std::isnan(c) || o.fit->rmse < c) c = o.fit->rmse;
    low = std::min(low, o.fit->rmse);
    high = std::max(high, o.fit->rmse);
  }
  const QFontMetricsF metrics(p.font());
  const QRectF frame = area.adjusted(80, 10, -80, -50);
  const double w = frame.width() / xValues.size(), h = frame.height() / yValues.size();
  for (std::size_t x = 0; x < xValues.size(); ++x) {
    for (std::size_t y = 0; y < yValues.size(); ++y) {
      const QRectF r(frame.left() + x * w, frame.bottom() - (y + 1) * h, w, h);
      const double v = cell[x][y];
      if (std::isnan(v)) {
        p.fillRect(r, QColor(235, 235, 235));
        p.setPen(QColor(120, 120, 120));
        p.drawText(r, Qt::AlignCenter, "no result");
        continue;
      }
      const double t = high > low ? (v - low) / (high - low) : 0;
      p.fillRect(r, Shade(t));
      p.setPen(t > 0.6 ? Qt::black : Qt::white);
      p.drawText(r, Qt::AlignCenter, Q(FormatNumber(std::round(v * 1000) / 1000)));
      if (xValues[x] == best.point.values[0] && yValues[y] == best.point.values[1]) {
        p.setPen(QPen(QColor(214, 39, 40), 3));
        p.drawRect(r.adjusted(2, 2, -2, -2));
      }
    }
  }
  p.setPen(Qt::black);
  for (std::size_t x = 0; x < xValues.size(); ++x) {
    const QString text = Q(xValues[x]);
    p.drawText(QPointF(frame.left() + (x + 0.5) * w - metrics.horizontalAdvance(text) / 2,
                       frame.bottom() + 4 + metrics.ascent()),
               text);
  }
  for (std::size_t y = 0; y < yValues.size(); ++y) {
    const QString text = Q(yValues[y]);
    p.drawText(QPointF(frame.left() - 6 - metrics.horizontalAdvance(text),
                       frame.bottom() - (y + 0.5) * h + metrics.ascent() / 2.5),
               text);
  }
  const QString xLabel = Q(d.vary[0].key), yLabel = Q(d.vary[1].key);
  p.drawText(QPointF(frame.center().x() - metrics.horizontalAdvance(xLabel) / 2,
                     frame.bottom() + 8 + 2 * metrics.height()),
             xLabel);
  p.save();
  p.translate(frame.left() - 55, frame.center().y() + metrics.horizontalAdvance(yLabel) / 2);
  p.rotate(-90);
  p.drawText(QPointF(0, 0), yLabel);
  p.restore();
  // The colour scale.
  const QRectF scale(frame.right() + 20, frame.top(), 16, frame.height());
  for (int i = 0; i < 100; ++i)
    p.fillRect(QRectF(scale.left(), scale.bottom() - (i + 1) * scale.height() / 100, scale.width(),
                      scale.height() / 100 + 1),
               Shade(i / 99.0));
  p.setPen(Qt::black);
  p.drawText(QPointF(scale.left(), scale.top() - 2), "RMSE");
  p.drawText(QPointF(scale.right() + 4, scale.top() + metrics.ascent()), Q(FormatNumber(std::round(high * 1000) / 1000)));
  p.drawText(QPointF(scale.right() + 4, scale.bottom()), Q(FormatNumber(std::round(low * 1000) / 1000)));
}

void PaintCurves(QPainter& p, const QRectF& area, const sweep::SweepDefinition& d, const sweep::Target& target,
                 const sweep::PointOutcome& best) {
  std::set<std::string> decisions;
  for (const auto& [key, value] : target.proportion) decisions.insert(key.second);
  const int blocks = d.Blocks();
  Axes axes{area.adjusted(70, 10, -10, -50), 0.5, blocks + 0.5, 0, 1};
  std::vector<std::pair<double, QString>> ticks;
  const int every = std::max(1, blocks / 10);
  for (int b = 1; b <= blocks; b += every) ticks.push_back({static_cast<double>(b), QString::number(b)});
  DrawAxes(p, axes, ticks, QString("block of %1 trials").arg(d.blockSize), "proportion");
  p.setRenderHint(QPainter::Antialiasing, true);
  const QFontMetricsF metrics(p.font());
  int series = 0;
  double legendY = axes.frame.top() + 14;
  for (const auto& decision : decisions) {
    const QColor color = kSeries[series++ % 6];
    QPainterPath model, human;
    bool modelStarted = false, humanStarted = false;
    for (int b = 1; b <= blocks; ++b) {
      auto found = target.proportion.find({b, decision});
      if (found != target.proportion.end()) {
        const QPointF point(axes.X(b), axes.Y(found->second));
        if (!humanStarted) human.moveTo(point);
        else human.lineTo(point);
        humanStarted = true;
        p.setPen(QPen(color, 1.5));
        p.drawEllipse(point, 3.5, 3.5);
      }
      if (best.summary && b <= static_cast<int>(best.summary->blocks.size())) {
        const auto& proportions = best.summary->blocks[b - 1].proportion;
        double value = 0;
        for (const auto& [label, q] : proportions)
          if (label == decision || (IsNumericText(label) && IsNumericText(decision) &&
                                    ReadNumber(label) == ReadNumber(decision)))
            value = q;
        const QPointF point(axes.X(b), axes.Y(value));
        if (!modelStarted) model.moveTo(point);
        else model.lineTo(point);
        modelStarted = true;
      }
    }
    p.setPen(QPen(color, 2.5));
    p.drawPath(model);
    p.setPen(QPen(color, 1.5, Qt::DashLine));
    p.drawPath(human);
    p.setPen(QPen(color, 2.5));
    p.drawLine(QPointF(axes.frame.left() + 10, legendY), QPointF(axes.frame.left() + 30, legendY));
    p.setPen(Qt::black);
    p.drawText(QPointF(axes.frame.left() + 36, legendY + metrics.ascent() / 2.5),
               "decision " + Q(decision) + ": model (solid), target (dashed)");
    legendY += metrics.height() + 2;
  }
  p.setRenderHint(QPainter::Antialiasing, false);
}

}  // namespace

int PlotSweep(const std::string& folder, const std::string& output) {
  std::unique_ptr<QGuiApplication> application = OffscreenGuiIfNeeded();
  try {
    const std::string definitionPath = (fs::path(folder) / "sweep.json").string();
    if (!fs::exists(definitionPath)) throw sweep::SweepError(folder + " holds no sweep (no sweep.json)");
    const sweep::SweepDefinition d = sweep::DefinitionFromJson(sweep::ReadWholeFile(definitionPath));
    if (d.target.empty())
      throw sweep::SweepError("the sweep has no target, so there is no fit to draw; run the same sweep again with "
                              "--target FILE (complete points are not run again)");
    const sweep::Target target = sweep::ReadTarget(d.target, d.Blocks());
    const auto outcomes = sweep::LoadOutcomes(folder, d, target);
    const sweep::PointOutcome* best = nullptr;
    for (const auto& o : outcomes)
      if (o.fit && (!best || o.fit->msd < best->fit->msd)) best = &o;
    if (!best) throw sweep::SweepError("no point of the sweep is complete yet");

    const int width = d.vary.empty() ? 700 : 1400, height = 620;
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter p(&image);
    QFont font = p.font();
    font.setPixelSize(13);
    p.setFont(font);
    QFont titleFont = font;
    titleFont.setBold(true);
    titleFont.setPixelSize(15);

    std::string bestText = best->point.Id();
    for (std::size_t i = 0; i < d.vary.size(); ++i) bestText += (i ? ", " : ": ") + d.vary[i].key + " " + best->point.values[i];
    const QRectF left(0, 40, d.vary.empty() ? 0 : width / 2.0, height - 40);
    const QRectF right(d.vary.empty() ? 0 : width / 2.0, 40, d.vary.empty() ? width : width / 2.0, height - 40);
    p.setFont(titleFont);
    if (!d.vary.empty()) {
      QString title = "Fit surface: RMSE of each point against the target";
      if (d.vary.size() > 2) title += " (best over the other keys)";
      p.drawText(QRectF(left.left() + 10, 8, left.width() - 20, 28), Qt::AlignLeft | Qt::AlignVCenter, title);
    }
    p.drawText(QRectF(right.left() + 10, 8, right.width() - 20, 28), Qt::AlignLeft | Qt::AlignVCenter,
               "Best point " + Q(bestText) + ", RMSE " + Q(FormatNumber(std::round(best->fit->rmse * 1000) / 1000)));
    p.setFont(font);
    if (d.vary.size() == 1) PaintLine(p, left, d, outcomes, *best);
    else if (d.vary.size() >= 2) PaintHeatMap(p, left, d, outcomes, *best);
    PaintCurves(p, right, d, target, *best);
    p.end();

    const std::string path = output.empty() ? (fs::path(folder) / "fit.png").string() : output;
    if (!image.save(Q(path), "PNG")) throw sweep::SweepError("cannot write " + path);
    std::cout << "Plotted the fit of " << outcomes.size() << " points into "
              << QFileInfo(Q(path)).absoluteFilePath().toStdString() << "\n";
    return 0;
  } catch (const sweep::SweepError& e) {
    std::cerr << "korvane sweep plot: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace korvane::app
