/* The floor under the installer's unpack step under Wine: a minimal Win32 program that makes
 * the same folders and files, with the same bytes, times and attributes, as the installer's
 * unpack step makes for the benchmark package, with nothing of ours in it. Benchmark only (see
 * docs/performance.md, row 4); not part of the product and not a test. bench_install.py builds
 * it with the win32 preset's compiler and zlib and runs it under the same Wine as the installer.
 *
 *   unpack_floor files   PLAN DEST            floor A: the file work alone
 *   unpack_floor inflate PLAN PACKAGE DEST    floor B: the file work, plus zlib's raw inflate and
 *                                             CRC-32 of each entry's data read from PACKAGE
 *
 * PLAN is made by bench_install.py from the package (write_floor_plan): every entry the unpack
 * step extracts, in the package's order, with what the installer computes for it (its path
 * below DEST, its attributes, its three times, where its data lie), followed by the uncompressed
 * bytes of every file one after the other, which floor A writes as they are. The plan and the
 * package are mapped whole, so reading them costs a page fault per page touched and no copy.
 *
 * Little-endian, every field 32 bits:
 *   "VMFLOOR1", entry count, then per entry:
 *   flags (1: folder), attributes, creation low/high, access low/high, modification low/high,
 *   size, offset of its bytes in PLAN, offset of its data in PACKAGE, compressed size, method
 *   (0 stored, 8 deflated), CRC-32, length of the path in UTF-16 units; then the path (relative
 *   to DEST, backslashes, no terminator), padded to 4 bytes.
 *
 * DEST is made (its parent must exist), then each folder entry with CreateDirectoryW and each
 * file with CreateFileW (CREATE_ALWAYS, no sharing, the entry's attributes), WriteFile and
 * SetFileTime, in the package's order. Floor A writes a file's bytes with one WriteFile; floor B
 * inflates 16 KiB at a time (the installer's piece size), checks the CRC-32 at the end and writes
 * each piece as it comes. Prints the seconds from making DEST to closing the last file. Exit
 * code 0, 1 when a CRC-32 differs or a call fails, 2 for a bad command line or plan. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

enum { kPiece = 16384, kHeaderBytes = 12, kFieldCount = 15 };

typedef struct {
  uint32_t flags, attributes;
  FILETIME creation, access, modification;
  uint32_t size, flatOffset, packageOffset, compressedSize, method, crc, nameUnits;
} Entry;

typedef struct {
  const uint8_t* data;
  uint32_t length;
} View;

static uint32_t u32(const uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

/* Maps `path` whole and read-only; the mapping lives until the process ends. */
static int mapWhole(const WCHAR* path, View* view) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER size;
  HANDLE mapping = NULL;
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < 0x7FFFFFFF)
    mapping = CreateFileMappingW(file, NULL, PAGE_READONLY, 0, 0, NULL);
  CloseHandle(file);
  if (mapping == NULL) return 0;
  view->data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  view->length = (uint32_t)size.QuadPart;
  CloseHandle(mapping);
  return view->data != NULL;
}

static int writeAll(HANDLE file, const uint8_t* data, uint32_t length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, length, &written, NULL) || written == 0) return 0;
    data += written;
    length -= written;
  }
  return 1;
}

/* Inflates (or copies, when stored) the entry's data from the package, writing each piece of at
 * most kPiece bytes; 1 when every byte was written and the CRC-32 matches. */
static int inflateInto(HANDLE file, const Entry* entry, const View* package) {
  static uint8_t piece[kPiece];
  if ((uint64_t)entry->packageOffset + entry->compressedSize > package->length) return 0;
  const uint8_t* data = package->data + entry->packageOffset;
  uLong crc = crc32(0, NULL, 0);
  if (entry->method == 0) {
    for (uint32_t done = 0; done < entry->compressedSize; done += kPiece) {
      const uint32_t count =
          entry->compressedSize - done < kPiece ? entry->compressedSize - done : kPiece;
      crc = crc32(crc, data + done, count);
      if (!writeAll(file, data + done, count)) return 0;
    }
    return crc == entry->crc;
  }
  z_stream stream;
  memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -15) != Z_OK) return 0;
  stream.next_in = (Bytef*)data;
  stream.avail_in = entry->compressedSize;
  int result;
  int ok = 1;
  do {
    stream.next_out = piece;
    stream.avail_out = kPiece;
    result = inflate(&stream, Z_NO_FLUSH);
    const uint32_t produced = kPiece - stream.avail_out;
    crc = crc32(crc, piece, produced);
    if (produced > 0 && !writeAll(file, piece, produced)) ok = 0;
  } while (ok && result == Z_OK);
  inflateEnd(&stream);
  return ok && result == Z_STREAM_END && stream.total_out == entry->size && crc == entry->crc;
}

int wmain(int count, WCHAR** arguments) {
  const int inflating = count == 5 && lstrcmpW(arguments[1], L"inflate") == 0;
  if (!inflating && !(count == 4 && lstrcmpW(arguments[1], L"files") == 0)) {
    fputs("usage: unpack_floor files PLAN DEST | unpack_floor inflate PLAN PACKAGE DEST\n", stderr);
    return 2;
  }
  View plan, package = {NULL, 0};
  if (!mapWhole(arguments[2], &plan) || (inflating && !mapWhole(arguments[3], &package)) ||
      plan.length < kHeaderBytes || memcmp(plan.data, "VMFLOOR1", 8) != 0) {
    fputs("unpack_floor: cannot map the plan or the package, or the plan is not one\n", stderr);
    return 2;
  }
  const WCHAR* destination = arguments[inflating ? 4 : 3];
  const size_t destinationUnits = wcslen(destination);
  WCHAR path[MAX_PATH];
  if (destinationUnits + 2 >= MAX_PATH) return 2;
  memcpy(path, destination, destinationUnits * sizeof(WCHAR));
  path[destinationUnits] = L'\\';

  LARGE_INTEGER frequency, started, ended;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&started);
  path[destinationUnits] = 0;
  CreateDirectoryW(path, NULL);  /* as the installer makes the application folder first */
  path[destinationUnits] = L'\\';
  const uint32_t entries = u32(plan.data + 8);
  uint32_t at = kHeaderBytes;
  for (uint32_t index = 0; index < entries; ++index) {
    if (at + kFieldCount * 4 > plan.length) return 2;
    const uint8_t* fields = plan.data + at;
    Entry entry;
    entry.flags = u32(fields);
    entry.attributes = u32(fields + 4);
    entry.creation.dwLowDateTime = u32(fields + 8);
    entry.creation.dwHighDateTime = u32(fields + 12);
    entry.access.dwLowDateTime = u32(fields + 16);
    entry.access.dwHighDateTime = u32(fields + 20);
    entry.modification.dwLowDateTime = u32(fields + 24);
    entry.modification.dwHighDateTime = u32(fields + 28);
    entry.size = u32(fields + 32);
    entry.flatOffset = u32(fields + 36);
    entry.packageOffset = u32(fields + 40);
    entry.compressedSize = u32(fields + 44);
    entry.method = u32(fields + 48);
    entry.crc = u32(fields + 52);
    entry.nameUnits = u32(fields + 56);
    at += kFieldCount * 4;
    if (entry.nameUnits == 0 || destinationUnits + 1 + entry.nameUnits >= MAX_PATH ||
        at + entry.nameUnits * 2 > plan.length)
      return 2;
    memcpy(path + destinationUnits + 1, plan.data + at, entry.nameUnits * 2);
    path[destinationUnits + 1 + entry.nameUnits] = 0;
    at += (entry.nameUnits * 2 + 3) & ~3u;

    if (entry.flags & 1) {
      if (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return 1;
      continue;
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, entry.attributes, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    int ok;
    if (inflating) {
      ok = inflateInto(file, &entry, &package);
    } else {
      ok = (uint64_t)entry.flatOffset + entry.size <= plan.length &&
           writeAll(file, plan.data + entry.flatOffset, entry.size);
    }
    ok = ok && SetFileTime(file, &entry.creation, &entry.access, &entry.modification);
    CloseHandle(file);
    if (!ok) {
      fprintf(stderr, "unpack_floor: entry %u failed\n", (unsigned)index);
      return 1;
    }
  }
  QueryPerformanceCounter(&ended);
  printf("%.6f\n", (double)(ended.QuadPart - started.QuadPart) / (double)frequency.QuadPart);
  return 0;
}
