// ModelCheck.h: a model's preparation for one instance type, without a task.
//
// CheckModel prepares the model for the type on a temporary copy (the model
// file itself is left untouched) and keeps every line the preparation logs
// from level 1 up: the summary, the warnings and every problem found, in one
// pass, followed by the verdict line. `korvane check` prints them; the
// Python package shows them.
#pragma once

#include <string>
#include <vector>

namespace korvane::engine {

struct ModelCheck {
  bool ready = false;               // the model can run the type
  std::vector<std::string> lines;   // the preparation log and the verdict
  std::vector<std::string> warnings;
};

// Throws korvane::Error when the model file is missing or cannot be read.
ModelCheck CheckModel(const std::string& modelPath, const std::string& typeName);

}  // namespace korvane::engine
