// The entry data stream: stored or raw-deflated bytes of the reader's current entry, CRC-32
// checked, with the traditional PKWARE decryption. zlib is used only for inflate and crc32.
#include <zlib.h>

#include <cstring>

#include "archive/reader.h"
#include "platform/memory.h"

namespace vm {

struct EntryStream {
  // Decrypted bytes of an encrypted entry (kStreamBufferSize, taken at open); other entries
  // are read in place: the package is never written while it is open, so a copy buys nothing.
  uint8_t* readBuffer;
  z_stream inflater;
  bool inflaterReady;  // set up, so it must be ended; a deflated entry's reads fail without it
  const uint8_t* pendingInput;
  uint32_t pendingCount;
  uint32_t dataPos;  // before bias correction
  uint32_t crc;
  uint32_t expectedCrc;
  uint32_t compressedLeft;
  uint32_t uncompressedLeft;
  uint32_t method;
  uint32_t bias;
  bool encrypted;
  uint32_t keys[3];
  int32_t headerLeft;
  uint8_t checkByte;
  bool deflateEnded;  // zlib reported the end of the deflate data
};

namespace {

constexpr int32_t kEncryptionHeaderSize = 12;

// zlib's own allocators unless a test asks for others.
InflateAllocate inflateAllocate = nullptr;
InflateRelease inflateRelease = nullptr;

// The single-byte CRC-32 step of the ZIP application note (reflected polynomial 0xEDB88320),
// which the key update of the traditional encryption needs without the inversions of zlib's
// whole-buffer crc32 (and zlib offers no documented access to its table). It goes four bits at a
// time through a 16-entry table: 64 bytes in the installer instead of the usual 1 KB, for an
// encryption that only the rare package protected with an empty password ever uses.
struct CrcNibbleTable {
  uint32_t entries[16];
  constexpr CrcNibbleTable() : entries() {
    for (uint32_t index = 0; index < 16; ++index) {
      uint32_t value = index;
      for (int bit = 0; bit < 4; ++bit) value = (value & 1) ? 0xEDB88320u ^ (value >> 1) : value >> 1;
      entries[index] = value;
    }
  }
};
constexpr CrcNibbleTable kCrcNibbles;

uint32_t crcStep(uint32_t crc, uint8_t byte) {
  crc ^= byte;
  crc = kCrcNibbles.entries[crc & 0xF] ^ (crc >> 4);
  return kCrcNibbles.entries[crc & 0xF] ^ (crc >> 4);
}

void updateKeys(uint32_t (&keys)[3], uint8_t plain) {
  keys[0] = crcStep(keys[0], plain);
  keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
  keys[2] = crcStep(keys[2], static_cast<uint8_t>(keys[1] >> 24));
}

uint8_t keyStreamByte(const uint32_t (&keys)[3]) {
  const uint32_t temp = (keys[2] | 2) & 0xFFFF;
  return static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
}

void decryptInPlace(uint32_t (&keys)[3], uint8_t* bytes, uint32_t count) {
  for (uint32_t at = 0; at < count; ++at) {
    const uint8_t plain = bytes[at] ^ keyStreamByte(keys);
    updateKeys(keys, plain);
    bytes[at] = plain;
  }
}

void freeStream(EntryStream* stream) {
  if (stream->inflaterReady) inflateEnd(&stream->inflater);
  freeBytes(stream->readBuffer);
  destroyObject(stream);
}

// Takes the next piece of at most kStreamBufferSize compressed bytes when no input is
// pending. ReaderIoError when the package ends before the piece does.
int32_t refill(ArchiveReader& reader, EntryStream& stream) {
  if (stream.pendingCount > 0 || stream.compressedLeft == 0) return ReaderOk;
  const uint32_t count =
      stream.compressedLeft < kStreamBufferSize ? stream.compressedLeft : kStreamBufferSize;
  const uint8_t* piece = nullptr;
  if (seekTo(reader.source, static_cast<uint64_t>(stream.dataPos) + stream.bias) != ReaderOk ||
      viewBlock(reader.source, count, piece) != ReaderOk) {
    return ReaderIoError;
  }
  stream.dataPos += count;
  stream.compressedLeft -= count;
  stream.pendingCount = count;
  if (stream.encrypted) {
    std::memcpy(stream.readBuffer, piece, count);
    decryptInPlace(stream.keys, stream.readBuffer, count);
    piece = stream.readBuffer;
  }
  stream.pendingInput = piece;
  return ReaderOk;
}

}  // namespace

int32_t openEntryStream(ArchiveReader& reader, const char* password) {
  if (!reader.currentValid) return ReaderBadParameter;
  if (reader.stream != nullptr) closeEntryStream(&reader);
  LocalHeaderInfo local;
  if (checkLocalHeader(reader, local) != ReaderOk) return ReaderBadArchive;

  const CentralEntryInfo& info = reader.current;
  EntryStream* stream = createObject<EntryStream>();
  if (stream == nullptr) return ReaderInternalError;
  stream->readBuffer = nullptr;
  if ((info.flags & kFlagEncrypted) != 0) {
    stream->readBuffer = allocateBytes(kStreamBufferSize);
    if (stream->readBuffer == nullptr) {
      destroyObject(stream);
      return ReaderInternalError;
    }
  }
  stream->inflater = z_stream{};
  stream->inflater.zalloc = inflateAllocate;
  stream->inflater.zfree = inflateRelease;
  stream->inflaterReady = false;
  stream->pendingInput = nullptr;
  stream->pendingCount = 0;
  stream->crc = 0;
  stream->expectedCrc = info.entryCrc;
  stream->method = info.method;
  stream->compressedLeft = info.compressedSize;
  stream->uncompressedLeft = info.uncompressedSize;
  stream->bias = reader.bias;
  stream->deflateEnded = false;
  // Raw deflate: no zlib header or trailer, 32 KiB window. A set-up that fails still opens the
  // stream; its reads then answer zlib's stream error.
  if (stream->method != 0) stream->inflaterReady = inflateInit2(&stream->inflater, -15) == Z_OK;
  stream->encrypted = (info.flags & kFlagEncrypted) != 0;
  stream->checkByte = static_cast<uint8_t>((info.flags & kFlagDataDescriptor)
                                               ? (info.dosDateTime >> 8) & 0xFF
                                               : info.entryCrc >> 24);
  stream->headerLeft = stream->encrypted ? kEncryptionHeaderSize : 0;
  stream->keys[0] = 0x12345678;
  stream->keys[1] = 0x23456789;
  stream->keys[2] = 0x34567890;
  if (password != nullptr)
    for (const char* at = password; *at != 0; ++at)
      updateKeys(stream->keys, static_cast<uint8_t>(*at));
  stream->dataPos = local.dataPos;
  reader.stream = stream;
  return ReaderOk;
}

int32_t readEntryStream(ArchiveReader* reader, uint8_t* buffer, uint32_t length,
                        bool& endReached) {
  endReached = false;
  if (reader == nullptr || reader->stream == nullptr) return ReaderBadParameter;
  if (length == 0) return 0;
  EntryStream& stream = *reader->stream;
  uint32_t want = length < stream.uncompressedLeft ? length : stream.uncompressedLeft;
  if (want == 0 || stream.deflateEnded) {
    endReached = true;
    return 0;
  }
  uint32_t delivered = 0;
  while (want > 0) {
    const int32_t status = refill(*reader, stream);
    if (status != ReaderOk) return status;

    if (stream.headerLeft > 0) {
      const uint32_t take = static_cast<uint32_t>(stream.headerLeft) < stream.pendingCount
                                ? static_cast<uint32_t>(stream.headerLeft)
                                : stream.pendingCount;
      if (take > 0) {
        const uint8_t last = stream.pendingInput[take - 1];
        stream.pendingInput += take;
        stream.pendingCount -= take;
        stream.headerLeft -= static_cast<int32_t>(take);
        if (stream.headerLeft == 0 && last != stream.checkByte) return ReaderBadPassword;
      }
    }

    if (stream.method == 0) {
      // Nothing pending and nothing left to read: the stored bytes ran out before the
      // declared size (or inside the encryption header). Repeating could not help.
      if (stream.pendingCount == 0) return ReaderIoError;
      const uint32_t count = want < stream.pendingCount ? want : stream.pendingCount;
      std::memcpy(buffer + delivered, stream.pendingInput, count);
      stream.crc = static_cast<uint32_t>(crc32(stream.crc, buffer + delivered, count));
      stream.pendingInput += count;
      stream.pendingCount -= count;
      stream.uncompressedLeft -= count;
      delivered += count;
      want -= count;
      if (stream.uncompressedLeft == 0) endReached = true;
      continue;
    }

    if (!stream.inflaterReady) return Z_STREAM_ERROR;
    z_stream& inflater = stream.inflater;
    inflater.next_in = const_cast<Bytef*>(stream.pendingInput);
    inflater.avail_in = stream.pendingCount;
    inflater.next_out = buffer + delivered;
    inflater.avail_out = want;
    const int result = inflate(&inflater, Z_NO_FLUSH);
    const uint32_t consumed = stream.pendingCount - inflater.avail_in;
    const uint32_t produced = want - inflater.avail_out;
    stream.pendingInput += consumed;
    stream.pendingCount -= consumed;
    stream.crc = static_cast<uint32_t>(crc32(stream.crc, buffer + delivered, produced));
    stream.uncompressedLeft -= produced;
    delivered += produced;
    want -= produced;
    if (result == Z_STREAM_END) stream.deflateEnded = true;
    if (result == Z_STREAM_END || stream.uncompressedLeft == 0) {
      endReached = true;
      return static_cast<int32_t>(delivered);
    }
    if (result < 0) return result;
    // Raw deflate never asks for a dictionary; a call that moved nothing could only repeat.
    if (result != Z_OK || (consumed == 0 && produced == 0)) return Z_DATA_ERROR;
  }
  return static_cast<int32_t>(delivered);
}

void setInflateMemoryForTesting(InflateAllocate allocate, InflateRelease release) {
  inflateAllocate = allocate;
  inflateRelease = release;
}

int32_t closeEntryStream(ArchiveReader* reader) {
  if (reader == nullptr || reader->stream == nullptr) return ReaderBadParameter;
  EntryStream* stream = reader->stream;
  int32_t status = ReaderOk;
  if (stream->uncompressedLeft == 0 && stream->crc != stream->expectedCrc) status = ReaderCrcError;
  // The deflate data ended short of the declared size: bytes are missing, and the CRC-32
  // verdict must not be skipped just because the count was never reached.
  if (stream->deflateEnded && stream->uncompressedLeft != 0) status = ReaderCrcError;
  freeStream(stream);
  reader->stream = nullptr;
  return status;
}

}  // namespace vm
