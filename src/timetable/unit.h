#pragma once
// What an event's quantity is multiplied with, classified once per unit dictionary value.

#include <cstdint>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/result.h"
#include "timetable/expression.h"

namespace arrow {
class Array;
}

namespace kestro {

struct Unit {
  enum class Kind { Track, Asset, Unknown, Snapper, Snap, Phrase };
  Kind kind = Kind::Unknown;
  uint64_t track = 0;  // Track: the track number
  std::string name;    // Asset, Snapper, Snap, Phrase: the name

  /// "Track(3)", "Asset(EUR)", "<none>", "Snapper(S)", "Snap(A)", "Phrase(P)".
  std::string display() const;
};

/// Classifies every value of the unit dictionary. By precedence a string naming a phrase is a
/// Phrase, then a snapper or one of its outputs a Snapper or Snap, then a track's string a
/// Track, else an Asset; a null value is Unknown.
/// \param[in] unit_dict  the unit column's dictionary (values must be utf8)
/// \param[in] track_dict the track column's dictionary (values must be utf8, none null)
Result<std::vector<Unit>, SpecError> classify_units(const arrow::Array& unit_dict, const arrow::Array& track_dict,
                                                    const ExpressionTables& expressions);

}  // namespace kestro
