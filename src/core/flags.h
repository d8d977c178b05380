#pragma once
// FLAGS, read from the model's dataset section: what the ledger keeps and the statistics
// writer sends. Bit value 4 selects nothing.

#include <cstdint>

namespace kestro {

inline constexpr uint32_t kFlagPvVec = 1;     // "PV_VEC": track 0's path values
inline constexpr uint32_t kFlagChoices = 2;   // "CHOICES": the choice map
inline constexpr uint32_t kFlagCashflow = 8;  // "CASHFLOW": the cashflow map
inline constexpr uint32_t kFlagsMax = 15;

}  // namespace kestro
