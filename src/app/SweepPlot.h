// SweepPlot.h: `korvane sweep plot DIR`, the picture of a sweep's fit.
//
// Left, the fit surface: the RMSE of every point against the target (one
// varied key: a line over its values; two: a heat map; more: a heat map over
// the first two, each cell the best over the other keys). Right, the best
// point's proportion of each decision per block against the target's.
#pragma once

#include <string>

namespace korvane::app {

// Writes the picture as PNG (default DIR/fit.png); returns the exit code.
int PlotSweep(const std::string& folder, const std::string& output);

}  // namespace korvane::app
