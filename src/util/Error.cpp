// Error.cpp: the numbered error type and the texts of run-time failures.
#include "util/Error.h"

namespace korvane {

std::string StandardErrorText(std::int32_t number) {
  switch (number) {
    case ErrorNumber::InvalidProcedureCall: return "Invalid procedure call or argument";
    case ErrorNumber::Overflow: return "Overflow";
    case ErrorNumber::DivisionByZero: return "Division by zero";
    case ErrorNumber::TypeMismatch: return "Type mismatch";
    case ErrorNumber::InvalidUseOfNull: return "Invalid use of Null";
    case ErrorNumber::DataTypeConversion: return "Data type conversion error.";
    case ErrorNumber::NoCurrentRecord: return "No current record.";
    case ErrorNumber::ItemNotFound: return "Item not found in this collection.";
    default: return {};
  }
}

Error::Error(std::int32_t number, std::string source, std::string description)
    : std::runtime_error(description),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

Error Error::Standard(std::int32_t number, std::string source) {
  return Error(number, std::move(source), StandardErrorText(number));
}

}  // namespace korvane
