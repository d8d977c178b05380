#include "timetable/unit.h"

#include <arrow/api.h>

namespace kestro {

namespace {

// Index of the first unit value equal to each distinct string, so each lookup is O(1).
class FirstIndex {
 public:
  explicit FirstIndex(const arrow::StringArray& units) {
    index_.reserve(static_cast<size_t>(units.length()));
    for (int64_t i = 0; i < units.length(); ++i) {
      if (units.IsValid(i)) index_.try_emplace(units.GetView(i), i);
    }
  }
  int64_t operator()(std::string_view text) const {
    auto it = index_.find(text);
    return it == index_.end() ? -1 : it->second;
  }

 private:
  std::unordered_map<std::string_view, int64_t> index_;  // views into the Arrow buffer
};

void mark(std::vector<Unit>& out, int64_t index, Unit::Kind kind, const std::string& name) {
  if (index < 0) return;
  Unit& unit = out[static_cast<size_t>(index)];
  unit.kind = kind;
  unit.name = name;
}

}  // namespace

std::string Unit::display() const {
  switch (kind) {
    case Kind::Track: return "Track(" + std::to_string(track) + ")";
    case Kind::Asset: return "Asset(" + name + ")";
    case Kind::Unknown: return "<none>";
    case Kind::Snapper: return "Snapper(" + name + ")";
    case Kind::Snap: return "Snap(" + name + ")";
    case Kind::Phrase: return "Phrase(" + name + ")";
  }
  return "<none>";
}

Result<std::vector<Unit>, SpecError> classify_units(const arrow::Array& unit_dict, const arrow::Array& track_dict,
                                                    const ExpressionTables& expressions) {
  if (unit_dict.type_id() != arrow::Type::STRING) {
    return std::unexpected(SpecError::message("Error in units column, expected strings"));
  }
  const auto& units = static_cast<const arrow::StringArray&>(unit_dict);
  std::vector<Unit> out(static_cast<size_t>(units.length()));
  for (int64_t i = 0; i < units.length(); ++i) {
    if (units.IsValid(i)) out[static_cast<size_t>(i)] = Unit{Unit::Kind::Asset, 0, std::string(units.GetView(i))};
  }

  if (track_dict.type_id() != arrow::Type::STRING) {
    return std::unexpected(SpecError::message("Error in tracks column, expected strings"));
  }
  const auto& tracks = static_cast<const arrow::StringArray&>(track_dict);
  const FirstIndex first_equal(units);
  for (int64_t h = 0; h < tracks.length(); ++h) {
    if (tracks.IsNull(h)) return std::unexpected(SpecError::message("Missing Track Value"));
    if (int64_t i = first_equal(tracks.GetView(h)); i >= 0) {
      out[static_cast<size_t>(i)] = Unit{Unit::Kind::Track, static_cast<uint64_t>(h), {}};
    }
  }

  for (const auto& [name, snapper] : expressions.snappers) {
    mark(out, first_equal(name), Unit::Kind::Snapper, name);
    for (const std::string& output : snapper.outputs) mark(out, first_equal(output), Unit::Kind::Snap, output);
  }
  for (const auto& [name, phrase] : expressions.phrases) {
    mark(out, first_equal(name), Unit::Kind::Phrase, name);
  }
  return out;
}

}  // namespace kestro
