// module.cpp: korvane._korvane, the engine in the Python process.
//
// Run is an in-process run of a model (task::InProcessRun): lines go in,
// reply lines come out, and the experiment database is the one a served run
// writes. The model functions import and export the JSON form, create the
// example models and check a model as `korvane check` does. A korvane::Error
// reaches Python as _korvane.Error with Korvane's text; the Python package
// (korvane/) turns it into the exceptions its callers know.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "engine/ModelCheck.h"
#include "model/ExampleModels.h"
#include "model/ModelJson.h"
#include "task/InProcessRun.h"
#include "util/Dialogs.h"
#include "util/Error.h"

namespace py = pybind11;
using korvane::task::InProcessRun;

namespace {

std::unique_ptr<InProcessRun> OpenRun(const std::string& model, std::optional<std::uint64_t> seed,
                                      std::optional<std::string> clock, std::optional<int> traceLevel,
                                      std::optional<int> subjects, bool debug) {
  korvane::task::InProcessOptions options;
  options.modelPath = model;
  options.executor.seed = seed;
  if (clock) {
    if (*clock == "simulated") {
      options.executor.clock = korvane::engine::ClockKind::Simulated;
    } else if (*clock == "real") {
      options.executor.clock = korvane::engine::ClockKind::Real;
    } else {
      throw py::value_error("clock must be \"simulated\", \"real\" or None (the model's Params_Clock), not \"" +
                            *clock + "\"");
    }
  }
  options.traceLevel = traceLevel;
  options.subjects = subjects;
  options.debug = debug;
  return std::make_unique<InProcessRun>(std::move(options));
}

}  // namespace

PYBIND11_MODULE(_korvane, m) {
  m.doc() = "Korvane's engine in-process (used by the korvane package)";
  // what() is the description, Korvane's text.
  py::register_exception<korvane::Error>(m, "Error", PyExc_RuntimeError);
  // Messages core code would show a person go to the log; Python gets the
  // reasons as exceptions.
  korvane::SetDialogs(std::make_shared<korvane::HeadlessDialogs>(false));

  py::class_<InProcessRun>(m, "Run")
      .def(py::init(&OpenRun), py::arg("model"), py::arg("seed") = py::none(), py::arg("clock") = py::none(),
           py::arg("trace_level") = py::none(), py::arg("subjects") = py::none(), py::arg("debug") = false)
      .def(
          "send",
          [](InProcessRun& run, py::bytes bytes) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            PyBytes_AsStringAndSize(bytes.ptr(), &data, &size);
            run.Send(std::string_view(data, static_cast<std::size_t>(size)));
          },
          "Handles whole lines (each ended by CR LF)")
      .def("take", &InProcessRun::TakeReplies, "The replies not yet taken, oldest first")
      .def(
          "wait",
          [](InProcessRun& run, double seconds) {
            py::gil_scoped_release unlocked;
            return run.WaitForReply(static_cast<int>(seconds * 1000));
          },
          py::arg("timeout"), "Runs the model's pauses until a reply waits; False when the time is up")
      .def("close", &InProcessRun::Close)
      .def_property_readonly("closed", &InProcessRun::Closed)
      .def_property_readonly("experiment_path", &InProcessRun::ExperimentPath)
      .def_property_readonly("batch", &InProcessRun::Batch)
      .def_property_readonly("last_error", &InProcessRun::LastError);

  m.def("import_json", &korvane::model::ImportModelJson, py::arg("json_text"), py::arg("model_path"),
        "Creates a model file from its JSON text");
  m.def("export_json", &korvane::model::ExportModelJson, py::arg("model_path"), "The JSON text of a model file");
  m.def("example_names", &korvane::model::ExampleNames);
  m.def("example_json", &korvane::model::ExampleJson, py::arg("name"));
  m.def(
      "check",
      [](const std::string& model, const std::string& type) {
        const korvane::engine::ModelCheck result = korvane::engine::CheckModel(model, type);
        return py::make_tuple(result.ready, result.lines, result.warnings);
      },
      py::arg("model_path"), py::arg("instance_type"),
      "(ready, lines, warnings): the preparation log of `korvane check`");
}
