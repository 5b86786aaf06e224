// vmpkg's signature commands (see docs/archive.md):
//
//   vmpkg sign [--drop-comment] PRIVATE_KEY.pem PACKAGE [OUT]
//   vmpkg verify PUBLIC_KEY.pem PACKAGE
//   vmpkg check --key PUBLIC_KEY.pem PACKAGE     (main.cpp's check, with the signature's line)
//
// Keys are read and signatures made with OpenSSL, so these need the host build; the Windows
// build's vmpkg.exe says so and exits 2. The verdict is always the installer's own
// (checkPackageSignature).
#pragma once

#include <cstdint>

namespace vm {

#ifdef _WIN32
using SigningArgument = wchar_t;
#else
using SigningArgument = char;
#endif

// True when `command` is "sign" or "verify".
bool isSigningCommand(const SigningArgument* command);

// Runs sign or verify with main's arguments. Exit codes: 0 signed / good signature, 1 the
// package is refused (one line says why), 2 usage, an unusable key or an unreadable file.
int runSigningCommand(int count, SigningArgument** arguments);

// check --key: checks the signature of the package in `data` against the public key at
// `keyPath` and prints check's line for it. 0 good, 1 refused (the line is check's problem),
// 2 the key cannot be used (said on stderr).
int reportPackageSignature(const SigningArgument* keyPath, const uint8_t* data, uint64_t length);

}  // namespace vm
