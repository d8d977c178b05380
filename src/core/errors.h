#pragma once
// The engine's error kinds. Each kind is a closed set of variants; render() gives the one
// text a variant stands for, and a wrapping error renders the wrapped one unchanged inside
// its own text, so a message reads as a chain of causes, outermost first.
//
// Two things travel beside the text. An interruption (Ctrl-C, SystemExit) is a variant of its
// own that no layer wraps: it reaches the entry function as it was caught and is raised again
// as the same exception object. And the caller's exception a failure started from is kept as
// `root` while the failure is wrapped into text, so the RuntimeError can name it as its cause.

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "interop/py_exception.h"

namespace kestro {

/// Owns one inner error on the heap, so recursive kinds stay small.
template <class T>
class Box {
 public:
  Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
  const T& operator*() const { return *ptr_; }
  const T* operator->() const { return ptr_.get(); }

 private:
  std::unique_ptr<T> ptr_;
};

/// A KeyboardInterrupt or SystemExit raised by the caller's code, or whatever a signal handler
/// raised when the engine ran the handlers (KeyboardInterrupt for Ctrl-C). Never rendered into
/// another error's text: every layer passes it up as it is and the entry function raises the
/// same exception object again, with its traceback.
struct Interrupted {
  PyException exc;
};

/// A timetable whose content cannot be used.
struct SpecError {
  struct UnknownOp { std::string op; };
  struct Message { std::string text; };
  std::variant<UnknownOp, Message> v;

  static SpecError message(std::string text) { return {Message{std::move(text)}}; }
};

/// Market data and curve failures.
struct CurveError {
  struct Builder { std::string text; };
  struct RateFailure { std::string name; double from; double to; Box<CurveError> inner; };
  struct ValueFailure { std::string name; double time; Box<CurveError> inner; };
  struct OutOfRange { double time; };
  struct DivideByZero {};
  struct AssetNotFound { std::string name; };
  std::variant<Builder, RateFailure, ValueFailure, OutOfRange, DivideByZero, AssetNotFound> v;
};

/// Booking values on tracks and looking tracks up.
struct LedgerError {
  struct Op { SpecError inner; };
  struct TrackNotFound { uint64_t track; };
  std::variant<Op, TrackNotFound> v;

  LedgerError(SpecError inner) : v(Op{std::move(inner)}) {}
  LedgerError(TrackNotFound missing) : v(missing) {}
};

/// A failed snapper or phrase evaluation; `cause` is already rendered.
struct PhraseError {
  std::string cause;
};

/// A failed call into Python.
struct PythonCallError {
  struct Exception { PyException exc; };
  struct WrongValue { std::string text; };
  struct Method { std::string name; PyException exc; };
  struct Execution { std::string text; };
  std::variant<Exception, WrongValue, Method, Execution, Interrupted> v;

  /// The exception a call raised: Exception, or Interrupted when it asks the program to stop.
  static PythonCallError raised(PyException exc);
  /// The exception a `py_state` method raised: Method naming it, or Interrupted.
  static PythonCallError in_method(std::string name, PyException exc);
  /// The exception a call raised, if any (a new reference).
  PyRef root() const;
};

/// Reading a Python dictionary (the dataset, the expressions).
struct InputError {
  struct Python { PyException exc; };
  struct Asset { CurveError inner; };
  struct Expression { std::string name; Box<InputError> inner; };
  struct InvalidValue { std::string key; std::string value; };
  struct MissingKey { std::string key; };
  struct WrongType { std::string key; std::string cause; };
  struct Message { std::string text; };
  std::variant<Python, Asset, Expression, InvalidValue, MissingKey, WrongType, Message, Interrupted> v;
  PyRef root;  // the caller's exception this failure started from, if any

  /// Python, or Interrupted when the exception asks the program to stop.
  InputError(PyException exc);
  InputError(CurveError inner) : v(Asset{std::move(inner)}) {}
  template <class V>
    requires std::is_constructible_v<decltype(v), V&&>
  InputError(V&& variant) : v(std::forward<V>(variant)) {}

  /// WrongType with the rendered conversion failure `exc` (kept as root), or Interrupted.
  static InputError wrong_type(std::string key, PyException exc);
  /// Expression wrapping `inner`, its root kept; an interruption passes as it is.
  static InputError in_expression(std::string name, InputError inner);
  bool interrupted() const { return std::holds_alternative<Interrupted>(v); }
};

/// Reading the timetable and the expressions.
struct TimetableError {
  struct Input { InputError inner; };
  struct Content { SpecError inner; };  // columns, units or ops that cannot be used
  std::variant<Input, Content, Interrupted> v;
  PyRef root;  // the caller's exception this failure started from, if any

  /// Input, its root kept; an interruption passes as it is.
  TimetableError(InputError inner);
  TimetableError(SpecError inner) : v(Content{std::move(inner)}) {}
};

/// Everything that can go wrong while a model runs over the timetable and while the
/// statistics are written.
struct EvaluationError {
  struct AtEvent { std::string description; std::string cause; };
  struct FeatureNotImplemented { std::string text; };
  struct EventSpecs { std::string text; };
  struct Message { std::string text; };
  struct ArrowCreation { std::string column; std::string arrow_message; };
  std::variant<CurveError, LedgerError, PhraseError, SpecError, AtEvent, FeatureNotImplemented,
               EventSpecs, Message, ArrowCreation, Interrupted>
      v;
  PyRef root;  // the caller's exception this failure started from, if any

  EvaluationError(CurveError e) : v(std::move(e)) {}
  EvaluationError(LedgerError e) : v(std::move(e)) {}
  EvaluationError(PhraseError e) : v(std::move(e)) {}
  EvaluationError(SpecError e) : v(std::move(e)) {}
  template <class V>
    requires std::is_constructible_v<decltype(v), V&&>
  EvaluationError(V&& variant) : v(std::forward<V>(variant)) {}

  static EvaluationError message(std::string text) { return {Message{std::move(text)}}; }
  /// AtEvent with the event's description and `cause` rendered, its root kept; an
  /// interruption passes as it is.
  static EvaluationError at_event(std::string description, EvaluationError cause);
  bool interrupted() const { return std::holds_alternative<Interrupted>(v); }
};

/// A failed snapper or phrase call: PhraseError holding the call's rendering, its exception
/// kept as root; an interruption passes as it is.
EvaluationError phrase_failure(PythonCallError error);
/// A failed `py_state` call: a Message holding the call's rendering, its exception kept as
/// root; an interruption passes as it is.
EvaluationError call_failure(PythonCallError error);

std::string render(const SpecError& e);
std::string render(const CurveError& e);
std::string render(const LedgerError& e);
std::string render(const PhraseError& e);
std::string render(const PythonCallError& e);
std::string render(const InputError& e);
std::string render(const TimetableError& e);
std::string render(const EvaluationError& e);

}  // namespace kestro
