#include "link/pipe_channel.h"

#include <cstdlib>

namespace orbisyn {

void* MallocAllocator::Allocate(uint32_t count, size_t element_size) {
  size_t bytes = size_t{count} * element_size;
  // A zero-length array still needs a usable block.
  return std::malloc(bytes ? bytes : 1);
}

void MallocAllocator::Release(void* block) { std::free(block); }

bool PipeWriter::Send(const void* src, size_t n) {
  if (slot_ == platform::kInvalidPipe) return false;
  platform::IoResult r = platform::PipeWrite(slot_, src, n);
  if (r == platform::IoResult::kBroken) {
    platform::PipeClose(slot_);
    slot_ = platform::kInvalidPipe;
  }
  return r == platform::IoResult::kOk;
}

bool PipeWriter::Write(const void* src, uint32_t n) {
  const auto* p = static_cast<const uint8_t*>(src);
  if (n <= free_) {
    std::memcpy(buffer_ + used_, p, n);
    used_ += n;
    free_ -= n;
    return true;
  }
  if (free_ > 0) {
    std::memcpy(buffer_ + used_, p, free_);
    p += free_;
    n -= free_;
  }
  used_ = 0;
  free_ = kPipeBufferSize;
  if (!Send(buffer_, kPipeBufferSize)) return false;
  if (n <= kPipeBufferSize) {
    std::memcpy(buffer_, p, n);
    used_ = n;
    free_ = kPipeBufferSize - n;
    return true;
  }
  return Send(p, n);
}

bool PipeWriter::Flush() {
  uint32_t n = used_;
  used_ = 0;
  free_ = kPipeBufferSize;
  return Send(buffer_, n);
}

bool PipeWriter::PutText(const char16_t* text, uint32_t units) {
  if (!text) units = 0;
  if (!PutInt32(static_cast<int32_t>(units))) return false;
  return units == 0 || Write(text, units * 2);
}

bool PipeReader::Receive(void* dst, size_t n) {
  if (slot_ == platform::kInvalidPipe) return false;
  platform::IoResult r = platform::PipeRead(slot_, dst, n);
  if (r == platform::IoResult::kBroken) {
    platform::PipeClose(slot_);
    slot_ = platform::kInvalidPipe;
  }
  return r == platform::IoResult::kOk;
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

bool PipeReader::ReadArray(ArrayAllocator& alloc, uint32_t element_size, void** block,
                           uint32_t* count) {
  uint32_t n = 0;
  if (!Get(&n)) return false;
  uint64_t bytes = uint64_t{n} * element_size;
  // A hostile or broken count must never make us allocate more than the reply carries.
  if (bytes > Unread() || bytes > UINT32_MAX) return false;
  void* p = alloc.Allocate(n, element_size);
  if (!p) return false;
  if (bytes && !Read(p, static_cast<uint32_t>(bytes))) {
    alloc.Release(p);
    return false;
  }
  *block = p;
  *count = n;
  return true;
}

void PipeReader::DiscardRest() {
  avail_ = 0;
  while (remaining_ > 0 && slot_ != platform::kInvalidPipe) {
    uint32_t chunk = remaining_ < kPipeBufferSize ? remaining_ : kPipeBufferSize;
    if (!Receive(buffer_, chunk)) break;
    remaining_ -= chunk;
  }
  remaining_ = 0;
}

}  // namespace orbisyn
