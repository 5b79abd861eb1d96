// ModelWarnings.h: settings that let a model run but not as the researcher
// most likely meant.
//
// A warning never stops a run; it names the setting at fault and says what
// will happen. Model preparation logs them ("Warning: ..."), `korvane check`
// prints them (and with --strict fails on them), and the model parameters
// screen shows them beside its controls.
#pragma once

#include <string>
#include <vector>

#include "util/Variant.h"

namespace korvane::store {
class Database;
}

namespace korvane::engine {

struct ModelWarning {
  std::string key;   // the setting at fault
  std::string text;  // the whole message, beginning "Warning: "
};

// The warnings about model-wide settings: thresholds without a comparison,
// the time-based stopping rule, a zero goal, and stored settings that are
// unknown or outside what they allow.
std::vector<ModelWarning> ModelWideWarnings(store::Database& db);

// The warnings about one instance type's settings together with the
// model-wide settings it runs with: a constraint without blending, blending
// over text slots.
std::vector<ModelWarning> InstanceTypeWarnings(store::Database& db, const std::string& typeName);

// Why typeName cannot run: it blends at temperature 0 (no noise and no
// Params_Temperature). Preparation refuses such a model with this text.
std::string ZeroTemperatureText(const std::string& typeName);

// Why the model would no longer run an instance type that it runs now, were
// the setting key given value; "" when nothing stops. `korvane set` refuses
// such a value with this reason.
std::string RunRefusal(store::Database& db, const std::string& key, const Variant& value);

// Both, as preparation for typeName logs them.
std::vector<ModelWarning> ModelWarnings(store::Database& db, const std::string& typeName);

// Which of the three thresholds is in force, in words: "RT: none (every
// retrieval passes the activation test)", "RT: activation > -1000",
// "RT: no comparison chosen (no retrieval succeeds)". which is "RT", "U" or
// "CT".
std::string ThresholdInForce(const std::string& which, const std::string& comparison, const std::string& value);

}  // namespace korvane::engine
