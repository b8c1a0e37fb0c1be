// Buffered request writer and reply reader over the Terminal pipe.
//
// One PipeWriter per request and one PipeReader per reply, both locals of the calling
// function: an exchange allocates nothing on the heap except the reply arrays. Both hold a
// reference to the session's handle slot, because a broken pipe seen anywhere closes the
// handle and ends the session for every later call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace orbisyn {

constexpr uint32_t kPipeBufferSize = 0x4000;
constexpr uint32_t kDirectReadThreshold = 0x2000;

// Supplies the block that an array reply is read into. Allocate returns null on failure;
// Release undoes an Allocate whose block is not handed over.
class ArrayAllocator {
 public:
  virtual void* Allocate(uint32_t count, size_t element_size) = 0;
  virtual void Release(void* block) = 0;

 protected:
  ~ArrayAllocator() = default;
};

// Plain non-throwing allocation; the receiver frees the block with std::free.
class MallocAllocator final : public ArrayAllocator {
 public:
  void* Allocate(uint32_t count, size_t element_size) override;
  void Release(void* block) override;
};

class PipeWriter {
 public:
  explicit PipeWriter(platform::PipeHandle& slot) : slot_(slot) {}
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

  bool Write(const void* src, uint32_t n);
  bool Flush();

  bool PutInt32(int32_t v) { return Write(&v, sizeof v); }
  bool PutUInt32(uint32_t v) { return Write(&v, sizeof v); }
  bool PutInt64(int64_t v) { return Write(&v, sizeof v); }
  bool PutUInt64(uint64_t v) { return Write(&v, sizeof v); }
  bool PutDouble(double v) { return Write(&v, sizeof v); }
  bool PutFlag(bool v) {
    uint8_t b = v ? 1 : 0;
    return Write(&b, 1);
  }
  // Count of units, then the units; a null text is sent as count 0.
  bool PutText(const char16_t* text, uint32_t units);

 private:
  bool Send(const void* src, size_t n);

  platform::PipeHandle& slot_;
  uint32_t used_ = 0;
  uint32_t free_ = kPipeBufferSize;
  uint8_t buffer_[kPipeBufferSize];
};

class PipeReader {
 public:
  explicit PipeReader(platform::PipeHandle& slot) : slot_(slot) {}
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  // Reads the reply's length field.
  bool Begin();
  // Delivers the next n bytes of the reply.
  bool Read(void* dst, uint32_t n);
  template <class T>
  bool Get(T* value) {
    return Read(value, sizeof(T));
  }
  // Reads a uint32 count and count records of element_size bytes into a block from alloc.
  // A count whose records cannot fit in what the reply has left fails before allocating.
  bool ReadArray(ArrayAllocator& alloc, uint32_t element_size, void** block, uint32_t* count);
  bool AtEnd() const { return avail_ == 0 && remaining_ == 0; }
  // Consumes whatever the current reply still holds in the pipe, so that the next
  // exchange starts on a frame boundary. Does nothing once the link is gone.
  void DiscardRest();
  // Bytes of the reply not yet delivered.
  uint64_t Unread() const { return uint64_t{avail_} + remaining_; }

 private:
  bool Receive(void* dst, size_t n);

  platform::PipeHandle& slot_;
  uint32_t remaining_ = 0;
  uint32_t pos_ = 0;
  uint32_t avail_ = 0;
  uint8_t buffer_[kPipeBufferSize];
};

// Size of a text field on the wire.
inline uint32_t TextWireSize(uint32_t units) { return 4 + 2 * units; }

// Units before the terminator (0 for null).
inline uint32_t TextUnits(const char16_t* text) {
  return text ? static_cast<uint32_t>(platform::TextLength(text)) : 0;
}

// One request/reply exchange: writes length, command and the payload put by `put`, then
// reads echo, status and the payload read by `get`, which must consume the reply exactly.
// Returns -10004 without a link, -10001 when the request cannot be written, the status
// (or -10000 for a wrong echo) after a complete reply, else the negative status already
// read or -10002. A failed reply is drained so that the next exchange stays in step.
template <class Put, class Get>
int32_t Exchange(platform::PipeHandle& slot, int32_t command, uint32_t payload_size, Put&& put,
                 Get&& get) {
  if (slot == platform::kInvalidPipe) return -10004;
  {
    PipeWriter writer(slot);
    if (!writer.PutUInt32(4 + payload_size) || !writer.PutInt32(command) || !put(writer) ||
        !writer.Flush())
      return -10001;
  }
  PipeReader reader(slot);
  int32_t echo = 0;
  int32_t status = 0;
  bool ok = reader.Begin() && reader.Get(&echo) && reader.Get(&status) && get(reader) &&
            reader.AtEnd();
  if (ok) return echo == command ? status : -10000;
  reader.DiscardRest();
  return status < 0 ? status : -10002;
}

inline bool NoPayload(PipeWriter&) { return true; }
inline bool NoReply(PipeReader&) { return true; }

}  // namespace orbisyn
