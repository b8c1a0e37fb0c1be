// Buffered request writer and reply reader over the Terminal pipe, and the exchange that
// every command follows.
//
// One PipeWriter per request and one PipeReader per reply, both locals of the calling
// function: an exchange allocates nothing on the heap except the reply arrays. Both work
// on the session's PipeSlot, because a broken pipe seen anywhere closes the handle and
// ends the session for every later call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "link/results.h"
#include "platform/platform.h"

namespace orbisyn {

constexpr uint32_t kPipeBufferSize = 0x4000;
constexpr uint32_t kDirectReadThreshold = 0x2000;

// The session's pipe handle. Only the thread that holds the session sets, uses and
// closes it; Wake comes from any thread, so closing and waking exclude each other and a
// woken handle number is never one that was already reused.
class PipeSlot {
 public:
  bool IsOpen() const { return handle_ != platform::kInvalidPipe; }
  platform::PipeHandle handle() const { return handle_; }
  void Set(platform::PipeHandle h);
  void Close();
  // Any thread: the current and every later transfer on the handle ends (kBroken).
  void Wake();
  // In a child process after fork: forgets the handle, closing only the child's copy.
  void ForgetAfterFork();
  // At process exit: closes unless a thread that no longer runs holds the slot.
  void CloseAtExit();
  // How long the transfers of the current call may wait; set by the thread that holds
  // the session.
  const platform::WaitLimit& limit() const { return limit_; }
  void SetLimit(const platform::WaitLimit& limit) { limit_ = limit; }
  // Changes whenever a link is set or closed: what a caller learnt of the Terminal at the
  // other end holds while it stays the same. Any thread.
  uint64_t serial() const { return serial_.load(std::memory_order_acquire); }

 private:
  platform::Lock lock_;
  std::atomic<uint64_t> serial_{0};
  platform::PipeHandle handle_ = platform::kInvalidPipe;
  platform::WaitLimit limit_;
};

// Supplies the block that an array reply is read into. Allocate returns null on failure;
// Release undoes an Allocate whose block is not handed over.
class ArrayAllocator {
 public:
  virtual void* Allocate(uint32_t count, size_t element_size) = 0;
  virtual void Release(void* block) = 0;

 protected:
  ~ArrayAllocator() = default;
};

// Non-throwing malloc and free; a zero-length array still gets a usable block. The last
// large block given back is kept for the next large reply.
ArrayAllocator& HeapAllocator();

// Frees the block HeapAllocator keeps.
void ReleaseKeptBlocks();

// The records of an array reply, in a block from the allocator it was made with. The
// block goes back to that allocator when the ArrayBlock dies, unless handed over.
class ArrayBlock {
 public:
  explicit ArrayBlock(ArrayAllocator& alloc = HeapAllocator()) : alloc_(alloc) {}
  ~ArrayBlock() { Reset(); }
  ArrayBlock(const ArrayBlock&) = delete;
  ArrayBlock& operator=(const ArrayBlock&) = delete;

  // Allocates room for count records; false (and empty) when the allocator fails.
  bool Allocate(uint32_t count, size_t element_size);
  void Reset();
  // Hands the block over: the caller now answers for it (the numpy array owns it).
  void* Release();

  void* data() const { return data_; }
  uint32_t count() const { return count_; }
  // After a filter has moved the kept records to the front.
  void Shrink(uint32_t count) { count_ = count < count_ ? count : count_; }

 private:
  ArrayAllocator& alloc_;
  void* data_ = nullptr;
  uint32_t count_ = 0;
};

// Builds one request frame: the length is filled in when the frame is sent, so callers
// only put the payload. Every request of the protocol fits the buffer; one that does not
// fails before anything is sent.
class PipeWriter {
 public:
  PipeWriter(PipeSlot& slot, int32_t command);
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

  bool Write(const void* src, uint32_t n);
  // Completes the frame and sends it with one write: 0, kIpcSendFailed, or (link closed)
  // kIpcInterrupted when the interrupt check ended the write, kIpcTimeout when the
  // slot's wait limit did.
  int32_t Send();

  bool PutInt32(int32_t v) { return Write(&v, sizeof v); }
  bool PutUInt32(uint32_t v) { return Write(&v, sizeof v); }
  bool PutInt64(int64_t v) { return Write(&v, sizeof v); }
  bool PutUInt64(uint64_t v) { return Write(&v, sizeof v); }
  bool PutDouble(double v) { return Write(&v, sizeof v); }
  bool PutFlag(bool v) {
    uint8_t b = v ? 1 : 0;
    return Write(&b, 1);
  }
  // Count of units before the terminator, then the units; null is sent as count 0.
  bool PutText(const char16_t* text);

 private:
  PipeSlot& slot_;
  uint32_t used_;
  uint8_t buffer_[kPipeBufferSize];
};

class PipeReader {
 public:
  explicit PipeReader(PipeSlot& slot) : slot_(slot) {}
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
  // Reads a uint32 count and count records of element_size bytes into block. A count
  // whose records cannot fit in what the reply has left fails before allocating; a block
  // whose records cannot be read is released at once.
  bool ReadArray(ArrayBlock& block, uint32_t element_size);
  bool AtEnd() const { return avail_ == 0 && remaining_ == 0; }
  // Consumes whatever the current reply still holds in the pipe, so that the next
  // exchange starts on a frame boundary. Does nothing once the link is gone.
  void DiscardRest();
  // Bytes of the reply not yet delivered.
  uint64_t Unread() const { return uint64_t{avail_} + remaining_; }
  // True when a wait was ended by the interrupt check.
  bool Interrupted() const { return interrupted_; }
  // True when a wait ran out of the slot's wait limit.
  bool TimedOut() const { return timed_out_; }

 private:
  bool Receive(void* dst, size_t n);

  PipeSlot& slot_;
  uint32_t remaining_ = 0;
  uint32_t pos_ = 0;
  uint32_t avail_ = 0;
  bool interrupted_ = false;
  bool timed_out_ = false;
  uint8_t buffer_[kPipeBufferSize];
};

// Units before the terminator (0 for null).
inline uint32_t TextUnits(const char16_t* text) {
  return text ? static_cast<uint32_t>(platform::TextLength(text)) : 0;
}

// One request/reply exchange: writes command and the payload put by `put`, then reads
// echo, status and the payload read by `get`, which must consume the reply exactly.
// Returns kIpcNoConnection without a link, kIpcSendFailed when the request cannot be
// written, the status (or kIpcCallFailed for a wrong echo) after a complete reply, else
// the negative status already read or kIpcRecvFailed. A failed reply is drained so that
// the next exchange stays in step. kIpcInterrupted: a signal handler ended the wait;
// kIpcTimeout: the slot's wait limit ran out; either way the link is closed.
template <class Put, class Get>
int32_t Exchange(PipeSlot& slot, int32_t command, Put&& put, Get&& get) {
  if (!slot.IsOpen()) return kIpcNoConnection;
  {
    PipeWriter writer(slot, command);
    if (!put(writer)) return kIpcSendFailed;
    int32_t sent = writer.Send();
    if (sent < 0) return sent;
  }
  PipeReader reader(slot);
  int32_t echo = 0;
  int32_t status = 0;
  bool ok = reader.Begin() && reader.Get(&echo) && reader.Get(&status) && get(reader) &&
            reader.AtEnd();
  if (ok) return echo == command ? status : kIpcCallFailed;
  if (!reader.Interrupted() && !reader.TimedOut()) reader.DiscardRest();
  if (reader.Interrupted()) return kIpcInterrupted;
  if (reader.TimedOut()) return kIpcTimeout;
  return status < 0 ? status : kIpcRecvFailed;
}

// An exchange whose reply payload is one record array, read into block; the block is
// empty again after any failure.
template <class Put>
int32_t ExchangeArray(PipeSlot& slot, int32_t command, Put&& put, uint32_t element_size,
                      ArrayBlock* block) {
  int32_t r = Exchange(slot, command, put,
                       [&](PipeReader& rd) { return rd.ReadArray(*block, element_size); });
  // The array may have been read whole before a wrong echo, a negative status or
  // trailing bytes showed up.
  if (r < 0) block->Reset();
  return r;
}

// An exchange whose reply payload is one fixed record (or value) of size bytes.
template <class Put>
int32_t ExchangeRecord(PipeSlot& slot, int32_t command, Put&& put, void* record, uint32_t size) {
  return Exchange(slot, command, put, [&](PipeReader& rd) { return rd.Read(record, size); });
}

inline bool NoPayload(PipeWriter&) { return true; }
inline bool NoReply(PipeReader&) { return true; }

// A command with the writer of its payload: protocol/requests.h makes one per command from
// the protocol's description (request::CopyRatesFrom(symbol, ...)), so that a payload
// cannot go out under another command's code or with its fields out of order.
template <class Put>
struct RequestFrame {
  int32_t command;
  Put put;
};
template <class Put>
RequestFrame(int32_t, Put) -> RequestFrame<Put>;

template <class Put, class Get>
int32_t Exchange(PipeSlot& slot, const RequestFrame<Put>& request, Get&& get) {
  return Exchange(slot, request.command, request.put, get);
}
template <class Put>
int32_t ExchangeArray(PipeSlot& slot, const RequestFrame<Put>& request, uint32_t element_size,
                      ArrayBlock* block) {
  return ExchangeArray(slot, request.command, request.put, element_size, block);
}
template <class Put>
int32_t ExchangeRecord(PipeSlot& slot, const RequestFrame<Put>& request, void* record, uint32_t size) {
  return ExchangeRecord(slot, request.command, request.put, record, size);
}

}  // namespace orbisyn
