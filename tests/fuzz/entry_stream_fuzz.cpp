// Fuzzing the entry data stream directly: every entry of the input read in pieces whose size
// follows from the input's length (1 byte up to more than the stream's buffer), sometimes with
// a password, so that piece borders fall everywhere in stored, deflated and encrypted data.
// The whole input is the archive, so tool-made archives are seeds as they are.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  static const uint32_t kPieces[] = {1, 2, 3, 7, 64, 511, 4096, 16383, 16384, 40000};
  constexpr std::size_t kChoices = sizeof kPieces / sizeof kPieces[0];
  const uint32_t piece = kPieces[size % kChoices];
  const char* password = (size / kChoices) % 4 == 0 ? "pw" : nullptr;
  vm::ArchiveReader reader;
  if (vm::initReader(reader, data, static_cast<uint32_t>(size)) != vm::ReaderOk) return 0;
  std::vector<uint8_t> buffer(piece);
  // Bounded work per input: the stream may declare up to 4 GiB.
  uint64_t budget = 8u << 20;
  for (uint32_t index = 0; index < reader.entryCount && budget > 0; ++index) {
    if (vm::goToEntry(reader, index) != vm::ReaderOk) break;
    if (vm::openEntryStream(reader, password) != vm::ReaderOk) continue;
    for (int reads = 0; budget > 0; ++reads) {
      bool end = false;
      const int32_t count = vm::readEntryStream(&reader, buffer.data(), piece, end);
      if (count < 0 || end || (count == 0 && reads > 0)) break;
      budget = budget > static_cast<uint64_t>(count) + 1 ? budget - count - 1 : 0;
    }
    vm::closeEntryStream(&reader);
  }
  if (reader.stream != nullptr) vm::closeEntryStream(&reader);
  return 0;
}
