// Fuzzing a partial update's plan over hostile package ends: the new package's end comes from
// the server. The input's first byte splits the rest into a kept package and a new package's end
// (of a package that many bytes longer, given by the next two bytes). Nothing may crash or read
// outside the input; a partial plan's pieces must cover the bytes before the end in order, and
// every copy must lie inside the kept package.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "archive/partial_plan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > 1u << 20) return 0;
  const size_t split = (size - 3) * data[0] / 255;
  const uint32_t before = static_cast<uint32_t>(data[1] | data[2] << 8);
  const uint8_t* rest = data + 3;
  const uint32_t keptLength = static_cast<uint32_t>(split);
  const uint32_t endLength = static_cast<uint32_t>(size - 3 - split);
  const vm::PackageEnd kept{rest, keptLength, keptLength};
  const vm::PackageEnd next{rest + split, endLength, endLength + before};
  auto plan = std::make_unique<vm::PartialPlan>();
  if (vm::planPartialUpdate(kept, next, {4, 64, 0, 100}, *plan) != vm::PlanVerdict::Partial)
    return 0;
  uint32_t covered = 0;
  for (uint32_t at = 0; at < plan->pieceCount; ++at) {
    const vm::PlanPiece& piece = plan->pieces[at];
    if (piece.target != covered || piece.length == 0 ||
        (!piece.fetch && (piece.source > keptLength || piece.length > keptLength - piece.source)))
      std::abort();
    covered += piece.length;
  }
  if (covered != before || plan->fetchCount > 4) std::abort();
  return 0;
}
