// PlotCommands.cpp: `korvane plot`, the graph screen's picture without a
// screen: per trial or block of trials (--block N), the share of each
// decision, the mean utility of the executed instances, the mean utility
// judged for each alternative and the mean activation of the retrieved
// ones, averaged over the chosen subjects, written as PNG, SVG or PDF (by
// the output's name) on the offscreen platform.
#include <QGuiApplication>
#include <QFileInfo>
#include <QString>
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "app/Commands.h"
#include "editor/RunPlot.h"
#include "editor/RunSummary.h"
#include "export/TraceQuery.h"
#include "store/Database.h"
#include "util/Error.h"

namespace korvane::app {

namespace {

struct PlotOptions {
  std::string experiment;
  std::string instanceType;
  std::string output;
  std::string subjects = "all";
  int width = 1000;
  int height = 760;
  bool heightGiven = false;
  int block = 1;
};

// "all" (or empty) gives an empty list, meaning every subject.
bool ParseSubjects(const std::string& text, std::vector<std::int32_t>& subjects, std::string& error) {
  subjects.clear();
  if (text.empty() || text == "all") return true;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, ',')) {
    try {
      std::size_t used = 0;
      const int subject = std::stoi(part, &used);
      if (used != part.size() || subject < 1) throw std::invalid_argument(part);
      subjects.push_back(subject);
    } catch (const std::exception&) {
      error = "'" + part + "' is not a subject number (1, 2, ...).";
      return false;
    }
  }
  return true;
}

int RunPlotCommand(const PlotOptions& options) {
  // Pictures are drawn with QtGui; a headless machine draws offscreen.
  std::unique_ptr<QGuiApplication> application = OffscreenGuiIfNeeded();

  std::vector<std::int32_t> subjects;
  std::string error;
  if (!ParseSubjects(options.subjects, subjects, error)) {
    std::cerr << "korvane plot: " << error << "\n";
    return 2;
  }
  try {
    auto db = store::Database::Open(options.experiment);
    const std::vector<std::string> types = exporting::InstanceTypes(*db);
    if (std::find(types.begin(), types.end(), options.instanceType) == types.end()) {
      std::cerr << "korvane plot: " << options.experiment << " has no instance type " << options.instanceType;
      if (!types.empty()) {
        std::cerr << " (it has:";
        for (const std::string& type : types) std::cerr << " " << type;
        std::cerr << ")";
      }
      std::cerr << ".\n";
      return 1;
    }
    editor::RunSummary summary = editor::SummarizeRun(*db, options.instanceType, subjects, options.block);
    db->Close();
    const QString title = QString("%1, instance type %2, %3")
                              .arg(QFileInfo(QString::fromStdString(options.experiment)).completeBaseName(),
                                   QString::fromStdString(options.instanceType),
                                   subjects.empty() ? QString("all subjects")
                                                    : QString("%1 subject(s)").arg(subjects.size()));
    QString writeError;
    // Two more panels (a blending run's full trace) get a taller picture
    // unless a height was asked for.
    int height = options.height;
    if (!options.heightGiven && (!summary.outcomeLabels.empty() || !summary.instanceLabels.empty())) height = 1140;
    if (!editor::SaveRunSummary(summary, title, QString::fromStdString(options.output), &writeError,
                                options.width, height)) {
      std::cerr << "korvane plot: " << writeError.toStdString() << "\n";
      return 1;
    }
    std::cout << "Plotted " << summary.trials.size()
              << (summary.blockSize > 1 ? " blocks of " + std::to_string(summary.blockSize) + " trials (" : " trials (")
              << summary.executions << " executions, "
              << summary.retrievals << " retrievals) into " << QFileInfo(QString::fromStdString(options.output))
                                                                     .absoluteFilePath()
                                                                     .toStdString()
              << "\n";
    if (summary.Empty()) std::cout << "The trace holds nothing to plot for these choices.\n";
    return 0;
  } catch (const Error& e) {
    std::cerr << "korvane plot: " << e.Description() << "\n";
    return 1;
  }
}

}  // namespace

std::unique_ptr<QGuiApplication> OffscreenGuiIfNeeded() {
  if (QCoreApplication::instance()) return nullptr;
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "korvane";
  static char* argv[] = {name, nullptr};
  return std::make_unique<QGuiApplication>(argc, argv);
}

void AddPlotCommands(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<PlotOptions>();
  CLI::App* plot = app.add_subcommand(
      "plot", "Draw a run as PNG, SVG or PDF: per trial (or block of trials), the share of each decision, the "
              "mean utility of executed instances, the mean utility judged for each alternative, for a blending "
              "run with the full trace the retrieval probability of each outcome and the base-level activation "
              "of each kind of instance, and the mean activation of retrieved instances, averaged over subjects");
  plot->add_option("EXPERIMENT", options->experiment, "experiment database (a copy made for one run)")
      ->required()
      ->check(CLI::ExistingFile);
  plot->add_option("--type", options->instanceType, "instance type, e.g. I1")->required();
  plot->add_option("-o,--output", options->output, "file to write: .svg gives SVG, .pdf PDF, anything else PNG")
      ->required();
  plot->add_option("--block", options->block, "average over blocks of N trials (default 1: every trial)")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  plot->add_option("--subjects", options->subjects, "subjects to average over: 1,2,5 or all")
      ->capture_default_str();
  plot->add_option("--width", options->width, "picture width in pixels")
      ->check(CLI::Range(200, 8000))
      ->capture_default_str();
  CLI::Option* height = plot->add_option("--height", options->height,
                                         "picture height in pixels (default 760; 1140 with the blend panels)")
                            ->check(CLI::Range(150, 8000));
  plot->callback([options, height, &context] {
    options->heightGiven = height->count() > 0;
    context.exitCode = RunPlotCommand(*options);
  });
}

}  // namespace korvane::app
