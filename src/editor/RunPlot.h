// RunPlot.h: draws a RunSummary as stacked panels over the trials (or blocks
// of trials): the share of each decision, the mean utility of executed
// instances, the mean utility judged for each alternative (when the run has
// a trial table) and the mean activation of retrieved instances. The same painting serves the graph
// screen, its PNG export and the headless `korvane plot` (QtGui only, so it
// renders on the offscreen platform).
#pragma once

#include <QImage>
#include <QRectF>
#include <QString>

#include "editor/RunSummary.h"

class QPainter;

namespace korvane::editor {

// Paints the plot into area. title heads it; an empty summary paints a note
// saying there is nothing to show.
void PaintRunSummary(QPainter& painter, const QRectF& area, const RunSummary& summary, const QString& title);

// The plot as an image of the given size, on white.
QImage RenderRunSummary(const RunSummary& summary, const QString& title, int width = 1000, int height = 760);

// Writes the plot as a PNG file; false with a reason in error.
bool SaveRunSummaryPng(const RunSummary& summary, const QString& title, const QString& path, QString* error,
                       int width = 1000, int height = 760);

// Writes the plot in the format the file name says: ".svg" SVG, ".pdf" PDF
// (a page of width x height points), anything else PNG.
bool SaveRunSummary(const RunSummary& summary, const QString& title, const QString& path, QString* error,
                    int width = 1000, int height = 760);

// Tick values for an axis from low to high: about count "nice" numbers.
std::vector<double> NiceTicks(double low, double high, int count);

}  // namespace korvane::editor
