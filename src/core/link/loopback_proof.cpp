#include "link/loopback_proof.h"

#include <cstring>

#include "platform/platform.h"

namespace orbisyn::proof {
namespace {

constexpr char kServerLabel[] = "orbisyn server proof";
constexpr char kClientLabel[] = "orbisyn client proof";
constexpr size_t kLabelBytes = sizeof kServerLabel - 1;
static_assert(sizeof kClientLabel == sizeof kServerLabel, "labels of one length");

}  // namespace

bool Prove(Side side, const uint8_t token[kTokenBytes], const uint8_t magic[kMagicBytes],
           const uint8_t client_nonce[kNonceBytes], const uint8_t server_nonce[kNonceBytes],
           uint8_t proof[kProofBytes]) {
  uint8_t message[kLabelBytes + kMagicBytes + 2 * kNonceBytes];
  uint8_t* p = message;
  std::memcpy(p, side == Side::kServer ? kServerLabel : kClientLabel, kLabelBytes);
  p += kLabelBytes;
  std::memcpy(p, magic, kMagicBytes);
  p += kMagicBytes;
  std::memcpy(p, client_nonce, kNonceBytes);
  p += kNonceBytes;
  std::memcpy(p, server_nonce, kNonceBytes);
  return platform::HmacSha256(token, kTokenBytes, message, sizeof message, proof);
}

bool Check(Side side, const uint8_t token[kTokenBytes], const uint8_t magic[kMagicBytes],
           const uint8_t client_nonce[kNonceBytes], const uint8_t server_nonce[kNonceBytes],
           const uint8_t got[kProofBytes]) {
  uint8_t want[kProofBytes];
  return Prove(side, token, magic, client_nonce, server_nonce, want) &&
         SameBytes(want, got, kProofBytes);
}

bool SameBytes(const uint8_t* a, const uint8_t* b, size_t n) {
  // volatile: the compiler may not turn the loop into an early-exit comparison.
  volatile uint8_t diff = 0;
  for (size_t i = 0; i < n; ++i) diff = static_cast<uint8_t>(diff | (a[i] ^ b[i]));
  return diff == 0;
}

}  // namespace orbisyn::proof
