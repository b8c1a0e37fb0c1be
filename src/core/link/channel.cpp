#include "link/channel.h"

#include <atomic>
#include <cstdlib>

namespace orbisyn {

namespace {

// Every block carries its capacity in front of it.
struct alignas(16) BlockHeader {
  size_t capacity;
};

// The last large block given back, kept for the next large reply: fresh pages for tens of
// megabytes cost more than the records' whole transfer.
std::atomic<BlockHeader*> g_kept{nullptr};
constexpr size_t kKeepFrom = size_t{1} << 20;
constexpr size_t kKeepUpTo = size_t{64} << 20;

class Heap final : public ArrayAllocator {
 public:
  void* Allocate(uint32_t count, size_t element_size) override {
    const size_t bytes = size_t{count} * element_size;
    BlockHeader* block = nullptr;
    if (bytes >= kKeepFrom) {
      block = g_kept.exchange(nullptr);
      if (block && block->capacity < bytes) {
        std::free(block);
        block = nullptr;
      }
    }
    if (!block) {
      block = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + bytes));
      if (!block) return nullptr;
      block->capacity = bytes;
    }
    return block + 1;
  }

  void Release(void* data) override {
    if (!data) return;
    BlockHeader* block = static_cast<BlockHeader*>(data) - 1;
    if (block->capacity >= kKeepFrom && block->capacity <= kKeepUpTo)
      block = g_kept.exchange(block);
    std::free(block);
  }
};

// A transfer that the peer broke, or that the interrupt check or the wait limit ended,
// leaves nothing worth keeping on the link: the stream is out of step.
bool Settle(PipeSlot& slot, platform::IoResult r, bool* interrupted, bool* timed_out) {
  using platform::IoResult;
  if (r == IoResult::kBroken || r == IoResult::kInterrupted || r == IoResult::kTimedOut)
    slot.Close();
  if (r == IoResult::kInterrupted) *interrupted = true;
  if (r == IoResult::kTimedOut) *timed_out = true;
  return r == IoResult::kOk;
}

}  // namespace

void PipeSlot::Set(platform::PipeHandle h) {
  platform::Hold hold(lock_);
  handle_ = h;
  serial_.fetch_add(1, std::memory_order_acq_rel);
}

void PipeSlot::Close() {
  platform::Hold hold(lock_);
  platform::PipeClose(handle_);
  handle_ = platform::kInvalidPipe;
  serial_.fetch_add(1, std::memory_order_acq_rel);
}

void PipeSlot::Wake() {
  platform::Hold hold(lock_);
  platform::PipeWake(handle_);
}

void PipeSlot::CloseAtExit() {
  if (!lock_.TryAcquire()) return;  // the system closes the handle with the process
  platform::PipeClose(handle_);
  handle_ = platform::kInvalidPipe;
  lock_.Release();
}

void PipeSlot::ForgetAfterFork() {
  // The forking thread may have been the only one alive; whoever held the lock is gone.
  lock_.Reset();
  platform::PipeClose(handle_);
  handle_ = platform::kInvalidPipe;
}

ArrayAllocator& HeapAllocator() {
  static Heap heap;
  return heap;
}

void ReleaseKeptBlocks() { std::free(g_kept.exchange(nullptr)); }

bool ArrayBlock::Allocate(uint32_t count, size_t element_size) {
  Reset();
  data_ = alloc_.Allocate(count, element_size);
  count_ = data_ ? count : 0;
  return data_ != nullptr;
}

void ArrayBlock::Reset() {
  if (data_) alloc_.Release(data_);
  data_ = nullptr;
  count_ = 0;
}

void* ArrayBlock::Release() {
  void* p = data_;
  data_ = nullptr;
  count_ = 0;
  return p;
}

PipeWriter::PipeWriter(PipeSlot& slot, int32_t command) : slot_(slot), used_(8) {
  std::memcpy(buffer_ + 4, &command, sizeof command);
}

bool PipeWriter::Write(const void* src, uint32_t n) {
  if (n > kPipeBufferSize - used_) return false;
  std::memcpy(buffer_ + used_, src, n);
  used_ += n;
  return true;
}

int32_t PipeWriter::Send() {
  if (!slot_.IsOpen()) return kIpcSendFailed;
  const uint32_t length = used_ - 4;
  std::memcpy(buffer_, &length, sizeof length);
  bool interrupted = false, timed_out = false;
  bool ok = Settle(slot_, platform::PipeWrite(slot_.handle(), buffer_, used_, slot_.limit()),
                   &interrupted, &timed_out);
  if (interrupted) return kIpcInterrupted;
  if (timed_out) return kIpcTimeout;
  return ok ? 0 : kIpcSendFailed;
}

bool PipeWriter::PutText(const char16_t* text) {
  const uint32_t units = TextUnits(text);
  if (!PutInt32(static_cast<int32_t>(units))) return false;
  return units == 0 || (units <= kPipeBufferSize / 2 && Write(text, units * 2));
}

bool PipeReader::Receive(void* dst, size_t n) {
  if (!slot_.IsOpen()) return false;
  return Settle(slot_, platform::PipeRead(slot_.handle(), dst, n, slot_.limit()), &interrupted_,
                &timed_out_);
}

bool PipeReader::Begin() {
  if (Receive(&remaining_, sizeof remaining_)) return true;
  remaining_ = 0;
  return false;
}

bool PipeReader::Read(void* dst, uint32_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  if (n <= avail_) {
    std::memcpy(d, buffer_ + pos_, n);
    pos_ += n;
    avail_ -= n;
    return true;
  }
  if (avail_ > 0) {
    std::memcpy(d, buffer_ + pos_, avail_);
    d += avail_;
    n -= avail_;
    avail_ = 0;
  }
  pos_ = 0;
  if (n > remaining_) return false;
  if (n >= kDirectReadThreshold || n == remaining_) {
    if (!Receive(d, n)) return false;
    remaining_ -= n;
    return true;
  }
  uint32_t chunk = remaining_ < kPipeBufferSize ? remaining_ : kPipeBufferSize;
  if (!Receive(buffer_, chunk)) return false;
  std::memcpy(d, buffer_, n);
  pos_ = n;
  remaining_ -= chunk;
  avail_ = chunk - n;
  return true;
}

bool PipeReader::ReadArray(ArrayBlock& block, uint32_t element_size) {
  uint32_t n = 0;
  if (!Get(&n)) return false;
  uint64_t bytes = uint64_t{n} * element_size;
  // A hostile or broken count must never make us allocate more than the reply carries.
  if (bytes > Unread() || bytes > UINT32_MAX) return false;
  if (!block.Allocate(n, element_size)) return false;
  if (bytes && !Read(block.data(), static_cast<uint32_t>(bytes))) {
    block.Reset();
    return false;
  }
  return true;
}

void PipeReader::DiscardRest() {
  avail_ = 0;
  while (remaining_ > 0 && slot_.IsOpen()) {
    uint32_t chunk = remaining_ < kPipeBufferSize ? remaining_ : kPipeBufferSize;
    if (!Receive(buffer_, chunk)) break;
    remaining_ -= chunk;
  }
  remaining_ = 0;
}

}  // namespace orbisyn
