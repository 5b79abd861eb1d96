// Error.h: the one error type of Korvane.
//
// Every failure that crosses a layer is a numbered error with a source and a
// description. Callers turn it into a message box, a log line or an "ERROR|"
// reply at one place each and decide by number, never by matching text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvane {

// Numbers of the run-time failures of the value system, with their usual texts.
namespace ErrorNumber {
constexpr std::int32_t InvalidProcedureCall = 5;
constexpr std::int32_t Overflow = 6;
constexpr std::int32_t DivisionByZero = 11;
constexpr std::int32_t TypeMismatch = 13;
constexpr std::int32_t InvalidUseOfNull = 94;

// Base of the numbers Korvane raises itself: formula errors are Base + code,
// the engine's own errors Base + a small number.
constexpr std::int32_t Base = static_cast<std::int32_t>(0x80040000u);

// Failures reported by the database layer (store/). Kept apart from the
// numbers above so that a caller can tell a refused value from a broken file.
constexpr std::int32_t DatabaseFailure = 3000;      // any other engine failure
constexpr std::int32_t DataTypeConversion = 3421;   // a value a column cannot take
constexpr std::int32_t NotADatabase = 3343;         // unrecognised file format
constexpr std::int32_t NoCurrentRecord = 3021;      // record set not on a record
constexpr std::int32_t ItemNotFound = 3265;         // no field/table of that name
constexpr std::int32_t ReadOnlyDatabase = 3051;     // cannot open or write the file
}  // namespace ErrorNumber

// The usual description of a run-time failure number ("Type mismatch", ...);
// empty for a number that has none.
std::string StandardErrorText(std::int32_t number);

class Error : public std::runtime_error {
 public:
  Error(std::int32_t number, std::string source, std::string description);

  // A run-time failure with its usual description.
  static Error Standard(std::int32_t number, std::string source = "Korvane");

  std::int32_t Number() const { return number_; }
  const std::string& Source() const { return source_; }
  const std::string& Description() const { return description_; }

 private:
  std::int32_t number_;
  std::string source_;
  std::string description_;
};

}  // namespace korvane
