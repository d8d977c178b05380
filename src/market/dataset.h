#pragma once
// Reading the `dataset` dictionary into the settings record of one model.

#include <cstdint>
#include <string>

#include "core/errors.h"
#include "core/flags.h"
#include "core/result.h"
#include "market/curve.h"

namespace kestro {

struct FixedSettings {
  AssetTable assets;
  int64_t pricing_ts;  // ms since 1970-01-01 UTC
  uint32_t flags;
};

struct McSettings {
  AssetTable assets;
  uint64_t paths;
  uint64_t seed;  // validated, not used: the paths come from the caller
  uint32_t flags;
  int64_t pricing_ts;
};

struct FdSettings {
  AssetTable assets;
  uint64_t n_x;     // grid nodes on each side of the centre
  double max_x;     // half-width of the grid
  double timestep;  // years
  uint32_t flags;
  uint32_t damping_steps;  // Crank-Nicolson steps after each event date taken as two implicit half steps
  int64_t pricing_ts;
};

/// The largest "DAMPING_STEPS" the reader accepts.
inline constexpr uint32_t kMaxDampingSteps = 1000;

struct FdHullWhiteSettings {
  FdSettings fd;
  double mean_reversion;
  double vol;
};

struct FdBlackScholesSettings {
  FdSettings fd;
  double vol;
  std::string asset;
};

/// Each reads the keys its model needs, in the model's reading order, from `dataset` (a
/// borrowed dict); the first failure ends the reading and nothing is kept.
Result<McSettings, InputError> read_mc_settings(PyObject* dataset);
Result<FixedSettings, InputError> read_fixed_settings(PyObject* dataset);
Result<FdHullWhiteSettings, InputError> read_hullwhite_settings(PyObject* dataset);
Result<FdBlackScholesSettings, InputError> read_blackscholes_settings(PyObject* dataset);

}  // namespace kestro
