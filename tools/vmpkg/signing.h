// vmpkg's signature commands (see docs/archive.md):
//
//   vmpkg sign [--drop-comment] PRIVATE_KEY.pem PACKAGE [OUT]
//   vmpkg verify PUBLIC_KEY.pem PACKAGE
//
// and the signing step of `vmpkg pack --sign` (signPackageFile). `check --key` is main.cpp's
// check with the key (tools/common/package_check.h). Keys are read and signatures made with
// OpenSSL, so these need the host build; the Windows build's vmpkg.exe says so and exits 2. The
// verdict is always the installer's own (checkPackageSignature).
#pragma once

#include <cstdint>

#ifndef _WIN32
#include "tools/common/key_file.h"
#endif

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

#ifdef _WIN32
// Says on stderr that sign, verify and check --key need the host build; returns 2.
int needsHostBuild();
#else
// What a signed package's archive comment held before signing.
enum class SignedOver { Nothing, Signature, Comment };

// Signs the package at `packagePath` with the private `key`: sets the comment-length field,
// signs everything through it, appends the signature comment, runs the installer's check on the
// result with the key's public half, and writes it to `target` (which may be `packagePath`)
// through a new file beside it that then replaces it. An earlier signature of ours is replaced;
// another comment is refused unless `dropComment`. Returns 0 (signed; `earlier` says what the
// comment held), 1 (refused: one line on stdout, nothing written) or 2 (stderr says why,
// nothing written).
int signPackageFile(const KeyFile& key, const char* packagePath, const char* target,
                    bool dropComment, SignedOver& earlier);
#endif

}  // namespace vm
