// Fuzzing the version-resource reader over hostile bytes: vmpkg reads the Velmora.exe of a
// package it is given, an untrusted file. Nothing may crash, hang or read outside the input.
#include <cstddef>
#include <cstdint>

#include "platform/file_version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vm::FileVersion version;
  (void)vm::readFileVersion(data, size, version);
  return 0;
}
