#include "interop/signal_check.h"

namespace kestro {

Result<void, Interrupted> check_signals() {
  if (PyErr_CheckSignals() == 0) [[likely]] return {};
  return std::unexpected(Interrupted{PyException::fetch()});
}

}  // namespace kestro
