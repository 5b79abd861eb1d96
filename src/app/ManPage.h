// ManPage.h: the korvane(1) manual page, written from the command line's own
// definitions so that it cannot drift from `--help`.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace korvane::app {

// The whole page in roff (man macros): the fixed sections (description, exit
// status, environment, files) around one subsection per command, with its
// arguments and options as `--help` gives them.
std::string ManPage(const CLI::App& app);

}  // namespace korvane::app
