// ExampleModels.h: the example models Korvane ships, ready to be written out.
//
// Each example is kept in the program as the same JSON text as its readable
// copy in examples/ (a test keeps the two equal), so `korvane example` works
// without any file beside the program.
#pragma once

#include <string>
#include <vector>

namespace korvane::model {

// Names of the examples ("binary-choice").
std::vector<std::string> ExampleNames();
// The JSON text of an example; throws korvane::Error for an unknown name.
const std::string& ExampleJson(const std::string& name);
// Creates the model file of an example (see ImportModelJson).
void CreateExampleModel(const std::string& name, const std::string& modelPath);

}  // namespace korvane::model
