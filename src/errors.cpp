#include "errors.h"

#include "numbers.h"
#include "overloaded.h"

namespace kestro {

std::string render(const SpecError& e) {
  return std::visit(
      Overloaded{
          [](const SpecError::UnknownOp& x) { return "Unknown Op '" + x.op + "'"; },
          [](const SpecError::Message& x) { return x.text; },
      },
      e.v);
}

std::string render(const CurveError& e) {
  return std::visit(
      Overloaded{
          [](const CurveError::Builder& x) { return "BuilderError " + x.text; },
          [](const CurveError::RateFailure& x) {
            return "Error in '" + x.name + "' rate from time " + format_double(x.from) + " to " +
                   format_double(x.to) + ", caused by \n'" + render(*x.inner) + "'";
          },
          [](const CurveError::ValueFailure& x) {
            return "Error in '" + x.name + "' value at " + format_double(x.time) + ", caused by \n'" +
                   render(*x.inner) + "'";
          },
          [](const CurveError::OutOfRange& x) {
            return "Error: Interpolation out of range at time " + format_double(x.time) +
                   ".\n Perhaps the time range in forwards/discount data is too short.";
          },
          [](const CurveError::DivideByZero&) { return std::string("Error: Divide by zero"); },
          [](const CurveError::AssetNotFound& x) {
            return "Asset '" + x.name + "' not found in snaps, expressions, or in dataset[ASSETS]";
          },
      },
      e.v);
}

std::string render(const LedgerError& e) {
  return std::visit(
      Overloaded{
          [](const LedgerError::Op& x) { return "Error in Op, caused by \n" + render(x.inner); },
          [](const LedgerError::TrackNotFound& x) { return "Track " + std::to_string(x.track) + " not found"; },
      },
      e.v);
}

std::string render(const PhraseError& e) { return "Error in Phrase Evaluation, caused by \n" + e.cause; }

std::string render(const PythonCallError& e) {
  return std::visit(
      Overloaded{
          [](const PythonCallError::Exception& x) { return x.exc.render(); },
          [](const PythonCallError::WrongValue& x) {
            return "Error in found value, likely incorrect type: " + x.text;
          },
          [](const PythonCallError::Method& x) {
            return "Error in Python method '" + x.name + "', caused by \n" + x.exc.render();
          },
          [](const PythonCallError::Execution& x) { return "Error in Python execution:\n" + x.text; },
      },
      e.v);
}

std::string render(const InputError& e) {
  return std::visit(
      Overloaded{
          [](const InputError::Python& x) { return x.exc.render(); },
          [](const InputError::Asset& x) { return "Error while parsing Asset, caused by \n" + render(x.inner); },
          [](const InputError::Expression& x) {
            return "Error while parsing expression '" + x.name + "', caused by \n" + render(*x.inner);
          },
          [](const InputError::InvalidValue& x) {
            return "Invalid value '" + x.value + "' for key '" + x.key + "'";
          },
          [](const InputError::MissingKey& x) { return "Py Dictionary is missing key '" + x.key + "'"; },
          [](const InputError::WrongType& x) {
            return "Error in value of " + x.key + ", likely incorrect type. caused by \n" + x.cause;
          },
          [](const InputError::Message& x) { return x.text; },
      },
      e.v);
}

std::string render(const TimetableError& e) {
  return std::visit(
      Overloaded{
          [](const TimetableError::Input& x) { return "Error while parsing Timetable, caused by \n" + render(x.inner); },
          [](const TimetableError::Content& x) { return "Error while parsing Timetable, caused by \n" + render(x.inner); },
      },
      e.v);
}

std::string render(const EvaluationError& e) {
  return std::visit(
      Overloaded{
          [](const CurveError& x) { return render(x); },
          [](const LedgerError& x) { return render(x); },
          [](const PhraseError& x) { return render(x); },
          [](const SpecError& x) { return render(x); },
          [](const EvaluationError::AtEvent& x) {
            return "Error at event:\n  " + x.description + ", caused by \n" + x.cause;
          },
          [](const EvaluationError::FeatureNotImplemented& x) { return "Feature Not Implemented: `" + x.text + "`"; },
          [](const EvaluationError::EventSpecs& x) { return "Error in Event Specs: " + x.text; },
          [](const EvaluationError::Message& x) { return x.text; },
          [](const EvaluationError::ArrowCreation& x) {
            return "Error Creating Arrow for '" + x.column + "', caused by \n" + x.arrow_message;
          },
      },
      e.v);
}

}  // namespace kestro
