// RunPlot.cpp: painting a run's summary with QPainter.
#include "editor/RunPlot.h"

#include <QFileInfo>
#include <QFontMetricsF>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QPageSize>
#include <QPdfWriter>
#include <QSvgGenerator>
#include <algorithm>
#include <cmath>

namespace korvane::editor {

namespace {

// Colours that stay apart for the colour-blind (Okabe and Ito).
const QColor kSeriesColours[] = {QColor(0, 114, 178), QColor(230, 159, 0), QColor(0, 158, 115),
                                 QColor(204, 121, 167), QColor(86, 180, 233), QColor(213, 94, 0),
                                 QColor(240, 228, 66), QColor(0, 0, 0)};

QColor SeriesColour(std::size_t index) {
  return kSeriesColours[index % (sizeof kSeriesColours / sizeof kSeriesColours[0])];
}

QString TickText(double value, double step) {
  int decimals = 0;
  if (step > 0 && step < 1) decimals = std::min(6, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
  if (std::fabs(value) < step * 1e-9) value = 0;
  return QString::number(value, 'f', decimals);
}

struct Series {
  QString name;
  QColor colour;
  const std::vector<double>* values;
};

struct Panel {
  QString title;
  std::vector<Series> series;
  bool fixedUnitRange = false;  // shares: 0 to 1
};

void PaintPanel(QPainter& painter, const QRectF& area, const Panel& panel, const std::vector<std::int64_t>& trials,
                bool showTrialAxisTitle, int blockSize) {
  const QFontMetricsF metrics(painter.font());
  const double lineHeight = metrics.height();

  // Value range.
  double low = 0, high = 1;
  if (!panel.fixedUnitRange) {
    bool any = false;
    for (const Series& s : panel.series) {
      for (double v : *s.values) {
        if (std::isnan(v)) continue;
        if (!any) {
          low = high = v;
          any = true;
        }
        low = std::min(low, v);
        high = std::max(high, v);
      }
    }
    if (!any) {
      low = 0;
      high = 1;
    } else if (high - low < 1e-12) {
      const double pad = std::max(std::fabs(high) * 0.1, 0.5);
      low -= pad;
      high += pad;
    }
  }
  std::vector<double> yTicks = NiceTicks(low, high, 5);
  if (!yTicks.empty()) {
    low = std::min(low, yTicks.front());
    high = std::max(high, yTicks.back());
  }
  const double yStep = yTicks.size() > 1 ? yTicks[1] - yTicks[0] : 1;

  double labelWidth = 0;
  for (double t : yTicks) labelWidth = std::max(labelWidth, metrics.horizontalAdvance(TickText(t, yStep)));
  const QRectF plot(area.left() + labelWidth + 12, area.top() + lineHeight * 1.4, 0, 0);
  QRectF frame = plot;
  frame.setRight(area.right() - 150);
  frame.setBottom(area.bottom() - lineHeight * (showTrialAxisTitle ? 2.6 : 1.6));
  if (frame.width() < 40 || frame.height() < 20) return;

  painter.setPen(Qt::black);
  QFont bold = painter.font();
  bold.setBold(true);
  painter.save();
  painter.setFont(bold);
  painter.drawText(QPointF(frame.left(), area.top() + lineHeight),
                   QFontMetricsF(bold).elidedText(panel.title, Qt::ElideRight, area.right() - frame.left() - 4));
  painter.restore();

  const double firstTrial = trials.empty() ? 0 : static_cast<double>(trials.front());
  const double lastTrial = trials.empty() ? 1 : static_cast<double>(trials.back());
  const double trialSpan = std::max(1.0, lastTrial - firstTrial);
  auto xOf = [&](double trial) { return frame.left() + (trial - firstTrial) / trialSpan * frame.width(); };
  auto yOf = [&](double value) { return frame.bottom() - (value - low) / (high - low) * frame.height(); };

  // Grid and axes.
  painter.setPen(QPen(QColor(225, 225, 225), 1));
  for (double t : yTicks) painter.drawLine(QPointF(frame.left(), yOf(t)), QPointF(frame.right(), yOf(t)));
  std::vector<double> xTicks = NiceTicks(firstTrial, lastTrial, 8);
  painter.setPen(Qt::black);
  painter.drawRect(frame);
  for (double t : yTicks) {
    const QString text = TickText(t, yStep);
    painter.drawText(QPointF(frame.left() - 6 - metrics.horizontalAdvance(text), yOf(t) + metrics.ascent() / 2.5),
                     text);
  }
  const double xStep = xTicks.size() > 1 ? xTicks[1] - xTicks[0] : 1;
  for (double t : xTicks) {
    if (t < firstTrial - 1e-9 || t > lastTrial + 1e-9) continue;
    const QString text = TickText(t, std::max(1.0, xStep));
    const double x = xOf(t);
    painter.drawLine(QPointF(x, frame.bottom()), QPointF(x, frame.bottom() + 4));
    painter.drawText(QPointF(x - metrics.horizontalAdvance(text) / 2, frame.bottom() + 4 + metrics.ascent()), text);
  }
  if (showTrialAxisTitle) {
    const QString axis =
        blockSize > 1 ? QObject::tr("Block of %1 trials").arg(blockSize) : QObject::tr("Trial");
    painter.drawText(QPointF(frame.center().x() - metrics.horizontalAdvance(axis) / 2,
                             frame.bottom() + 6 + metrics.ascent() + lineHeight),
                     axis);
  }

  bool anyValue = false;
  painter.setRenderHint(QPainter::Antialiasing, true);
  const bool markers = trials.size() <= 60;
  for (std::size_t s = 0; s < panel.series.size(); ++s) {
    const Series& series = panel.series[s];
    QPainterPath path;
    bool penDown = false;
    painter.setPen(QPen(series.colour, 2));
    for (std::size_t i = 0; i < trials.size() && i < series.values->size(); ++i) {
      const double v = (*series.values)[i];
      if (std::isnan(v)) {
        penDown = false;  // a gap where no subject has data
        continue;
      }
      anyValue = true;
      const QPointF point(xOf(static_cast<double>(trials[i])), yOf(v));
      if (penDown) {
        path.lineTo(point);
      } else {
        path.moveTo(point);
        penDown = true;
      }
      if (markers) painter.drawEllipse(point, 2.2, 2.2);
    }
    painter.drawPath(path);
  }
  painter.setRenderHint(QPainter::Antialiasing, false);
  if (!anyValue) {
    painter.setPen(Qt::gray);
    painter.drawText(frame, Qt::AlignCenter, QObject::tr("no data"));
  }

  // Legend beside the frame.
  double y = frame.top() + lineHeight;
  for (const Series& series : panel.series) {
    if (series.name.isEmpty()) continue;
    painter.setPen(QPen(series.colour, 3));
    painter.drawLine(QPointF(frame.right() + 12, y - metrics.ascent() / 3), QPointF(frame.right() + 30, y - metrics.ascent() / 3));
    painter.setPen(Qt::black);
    painter.drawText(QPointF(frame.right() + 36, y),
                     metrics.elidedText(series.name, Qt::ElideRight, area.right() - frame.right() - 40));
    y += lineHeight * 1.2;
    if (y > frame.bottom()) break;
  }
}

}  // namespace

std::vector<double> NiceTicks(double low, double high, int count) {
  std::vector<double> ticks;
  if (!(high > low) || count < 1 || !std::isfinite(low) || !std::isfinite(high)) return ticks;
  const double rough = (high - low) / count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
  double step = magnitude;
  for (double factor : {1.0, 2.0, 2.5, 5.0, 10.0}) {
    step = factor * magnitude;
    if (rough <= step) break;
  }
  const double first = std::floor(low / step + 1e-9) * step;
  for (double t = first; t <= high + step * 0.999 && ticks.size() < 200; t += step) {
    ticks.push_back(std::fabs(t) < step * 1e-9 ? 0.0 : t);
    if (t >= high - step * 1e-9) break;
  }
  return ticks;
}

void PaintRunSummary(QPainter& painter, const QRectF& area, const RunSummary& summary, const QString& title) {
  painter.save();
  painter.fillRect(area, Qt::white);
  QFont titleFont = painter.font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.25);
  painter.setFont(titleFont);
  painter.setPen(Qt::black);
  const QFontMetricsF titleMetrics(titleFont);
  // A narrow picture shortens the title rather than cutting off both ends.
  painter.drawText(QRectF(area.left(), area.top() + 4, area.width(), titleMetrics.height() + 4),
                   Qt::AlignHCenter | Qt::AlignVCenter,
                   titleMetrics.elidedText(title, Qt::ElideRight, area.width() - 8));
  painter.restore();
  painter.save();

  const double top = area.top() + titleMetrics.height() + 12;
  if (summary.Empty()) {
    painter.setPen(Qt::gray);
    painter.drawText(QRectF(area.left(), top, area.width(), area.bottom() - top), Qt::AlignCenter,
                     QObject::tr("This run has no executions or retrievals to show\n"
                                 "for the chosen instance type and subjects."));
    painter.restore();
    return;
  }

  Panel decisions{summary.blockSize > 1 ? QObject::tr("Share of each decision among executed instances (block means)")
                                       : QObject::tr("Share of each decision among executed instances"),
                  {},
                  true};
  for (std::size_t v = 0; v < summary.decisionValues.size(); ++v) {
    decisions.series.push_back(
        {QString::fromStdString(summary.decisionValues[v]), SeriesColour(v), &summary.share[v]});
  }
  const QString utilityName = summary.utilitySlot.empty() ? QObject::tr("Utility")
                                                          : QString::fromStdString(summary.utilitySlot);
  Panel utility{QObject::tr("Mean utility of executed instances"),
                {{utilityName, SeriesColour(2), &summary.meanUtility}}, false};
  Panel activation{QObject::tr("Mean activation of retrieved instances"),
                   {{QObject::tr("Activation"), SeriesColour(5), &summary.meanActivation}}, false};

  // What the model judged each alternative to be worth: with blending, the
  // blended value of each option, the quantity the choice compares.
  Panel judged{QObject::tr("Mean utility judged for each alternative"), {}, false};
  for (std::size_t a = 0; a < summary.alternatives.size(); ++a) {
    judged.series.push_back(
        {QString::fromStdString(summary.alternatives[a]), SeriesColour(a), &summary.alternativeUtility[a]});
  }

  // With the full trace of a blending run: how the blends weighed each
  // outcome of an alternative, and the base-level activation of each kind of
  // instance.
  Panel probability{QObject::tr("Mean retrieval probability of each outcome in its alternative's blend (alternative: outcome)"), {}, true};
  for (std::size_t o = 0; o < summary.outcomeLabels.size(); ++o)
    probability.series.push_back(
        {QString::fromStdString(summary.outcomeLabels[o]), SeriesColour(o), &summary.outcomeProbability[o]});
  Panel baseLevel{QObject::tr("Mean base-level activation of each kind of instance (situation: utility)"), {}, false};
  for (std::size_t k = 0; k < summary.instanceLabels.size(); ++k)
    baseLevel.series.push_back(
        {QString::fromStdString(summary.instanceLabels[k]), SeriesColour(k), &summary.instanceBLL[k]});

  std::vector<const Panel*> panels{&decisions, &utility};
  if (!judged.series.empty()) panels.push_back(&judged);
  if (!probability.series.empty()) panels.push_back(&probability);
  if (!baseLevel.series.empty()) panels.push_back(&baseLevel);
  panels.push_back(&activation);
  const double height = (area.bottom() - top) / static_cast<double>(panels.size());
  for (std::size_t p = 0; p < panels.size(); ++p) {
    PaintPanel(painter, QRectF(area.left() + 8, top + static_cast<double>(p) * height, area.width() - 16, height),
               *panels[p], summary.trials, p + 1 == panels.size(), summary.blockSize);
  }
  painter.restore();
}

QImage RenderRunSummary(const RunSummary& summary, const QString& title, int width, int height) {
  QImage image(std::max(200, width), std::max(150, height), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter painter(&image);
  PaintRunSummary(painter, QRectF(image.rect()), summary, title);
  painter.end();
  return image;
}

bool SaveRunSummary(const RunSummary& summary, const QString& title, const QString& path, QString* error,
                    int width, int height) {
  const QString suffix = QFileInfo(path).suffix().toLower();
  width = std::max(200, width);
  height = std::max(150, height);
  auto failed = [&](const QString& why) {
    if (error) *error = QObject::tr("Could not write %1: %2").arg(QFileInfo(path).fileName(), why);
    return false;
  };
  if (suffix == "svg") {
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(QSize(width, height));
    svg.setViewBox(QRect(0, 0, width, height));
    svg.setTitle(title);
    QPainter painter;
    if (!painter.begin(&svg)) return failed(QObject::tr("the file cannot be created"));
    PaintRunSummary(painter, QRectF(0, 0, width, height), summary, title);
    painter.end();
    return QFileInfo(path).size() > 0 || failed(QObject::tr("nothing was written"));
  }
  if (suffix == "pdf") {
    QPdfWriter pdf(path);
    pdf.setTitle(title);
    pdf.setCreator("Korvane");
    // One point per pixel: the page is width x height points.
    pdf.setResolution(72);
    pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
    if (!pdf.setPageSize(QPageSize(QSizeF(width, height), QPageSize::Point, QString(), QPageSize::ExactMatch)))
      return failed(QObject::tr("the page size is not possible"));
    QPainter painter;
    if (!painter.begin(&pdf)) return failed(QObject::tr("the file cannot be created"));
    PaintRunSummary(painter, QRectF(0, 0, width, height), summary, title);
    painter.end();
    return QFileInfo(path).size() > 0 || failed(QObject::tr("nothing was written"));
  }
  return SaveRunSummaryPng(summary, title, path, error, width, height);
}

bool SaveRunSummaryPng(const RunSummary& summary, const QString& title, const QString& path, QString* error,
                       int width, int height) {
  const QImage image = RenderRunSummary(summary, title, width, height);
  QImageWriter writer(path, "png");
  if (writer.write(image)) return true;
  if (error) *error = QObject::tr("Could not write %1: %2").arg(QFileInfo(path).fileName(), writer.errorString());
  return false;
}

}  // namespace korvane::editor
