#include "core/errors.h"

#include "core/numbers.h"
#include "core/overloaded.h"

namespace kestro {

namespace {

std::string render(const Interrupted& x) { return x.exc.render(); }

PyRef root_of(const PyException& exc) { return PyRef::borrow(exc.value()); }

}  // namespace

PythonCallError PythonCallError::raised(PyException exc) {
  if (exc.interrupts()) return {Interrupted{std::move(exc)}};
  return {Exception{std::move(exc)}};
}

PythonCallError PythonCallError::in_method(std::string name, PyException exc) {
  if (exc.interrupts()) return {Interrupted{std::move(exc)}};
  return {Method{std::move(name), std::move(exc)}};
}

PyRef PythonCallError::root() const {
  if (const auto* x = std::get_if<Exception>(&v)) return root_of(x->exc);
  if (const auto* x = std::get_if<Method>(&v)) return root_of(x->exc);
  return {};
}

// v starts as a placeholder: both variants it can become hold the exception.
InputError::InputError(PyException exc) : v(Message{}) {
  if (exc.interrupts()) {
    v = Interrupted{std::move(exc)};
    return;
  }
  root = root_of(exc);
  v = Python{std::move(exc)};
}

InputError InputError::wrong_type(std::string key, PyException exc) {
  if (exc.interrupts()) return InputError(std::move(exc));
  InputError out(WrongType{std::move(key), exc.render()});
  out.root = root_of(exc);
  return out;
}

InputError InputError::in_expression(std::string name, InputError inner) {
  if (inner.interrupted()) return inner;
  PyRef root = std::move(inner.root);
  InputError out(Expression{std::move(name), std::move(inner)});
  out.root = std::move(root);
  return out;
}

TimetableError::TimetableError(InputError inner) : v(Content{}) {
  if (auto* stop = std::get_if<Interrupted>(&inner.v)) {
    v = std::move(*stop);
    return;
  }
  root = std::move(inner.root);
  v = Input{std::move(inner)};
}

EvaluationError EvaluationError::at_event(std::string description, EvaluationError cause) {
  if (cause.interrupted()) return cause;
  EvaluationError out(AtEvent{std::move(description), render(cause)});
  out.root = std::move(cause.root);
  return out;
}

namespace {

// `wrap` of the call's rendering, with the call's exception as root.
template <class Wrap>
EvaluationError from_call(PythonCallError error, Wrap wrap) {
  if (auto* stop = std::get_if<Interrupted>(&error.v)) return EvaluationError(std::move(*stop));
  EvaluationError out = wrap(render(error));
  out.root = error.root();
  return out;
}

}  // namespace

EvaluationError phrase_failure(PythonCallError error) {
  return from_call(std::move(error), [](std::string text) { return EvaluationError(PhraseError{std::move(text)}); });
}

EvaluationError call_failure(PythonCallError error) {
  return from_call(std::move(error), [](std::string text) { return EvaluationError::message(std::move(text)); });
}

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
          [](const Interrupted& x) { return render(x); },
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
          [](const Interrupted& x) { return render(x); },
      },
      e.v);
}

std::string render(const TimetableError& e) {
  return std::visit(
      Overloaded{
          [](const TimetableError::Input& x) { return "Error while parsing Timetable, caused by \n" + render(x.inner); },
          [](const TimetableError::Content& x) { return "Error while parsing Timetable, caused by \n" + render(x.inner); },
          [](const Interrupted& x) { return render(x); },
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
          [](const Interrupted& x) { return render(x); },
      },
      e.v);
}

}  // namespace kestro
