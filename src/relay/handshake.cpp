#include "handshake.h"

#include <cstring>
#include <string>

namespace relay {

bool MakeChallenge(const Token& token, const uint8_t magic[proof::kMagicBytes],
                   const uint8_t client_nonce[proof::kNonceBytes], Challenge* out) {
  std::memcpy(out->client_nonce, client_nonce, proof::kNonceBytes);
  uint8_t* server_nonce = out->bytes;
  return orbisyn::platform::RandomBytes(server_nonce, proof::kNonceBytes) &&
         proof::Prove(proof::Side::kServer, token.bytes, magic, client_nonce, server_nonce,
                      out->bytes + proof::kNonceBytes);
}

bool ClientProved(const Token& token, const uint8_t magic[proof::kMagicBytes],
                  const Challenge& challenge, const uint8_t got[proof::kProofBytes]) {
  return proof::Check(proof::Side::kClient, token.bytes, magic, challenge.client_nonce,
                      challenge.bytes, got);
}

Proven ProveToServer(SOCKET s, const Token& token, const uint8_t magic[proof::kMagicBytes],
                     const void* more, size_t n, ULONGLONG deadline) {
  uint8_t hello[proof::kHelloBytes];
  std::memcpy(hello, magic, proof::kMagicBytes);
  uint8_t* client_nonce = hello + proof::kMagicBytes;
  if (!orbisyn::platform::RandomBytes(client_nonce, proof::kNonceBytes)) return Proven::kFailed;
  if (!SendAll(s, hello, sizeof hello)) return Proven::kClosed;
  uint8_t challenge[proof::kChallengeBytes];
  if (!RecvAllBy(s, challenge, sizeof challenge, deadline)) {
    return GetTickCount64() >= deadline ? Proven::kNoAnswer : Proven::kClosed;
  }
  const uint8_t* server_nonce = challenge;
  if (!proof::Check(proof::Side::kServer, token.bytes, magic, client_nonce, server_nonce,
                    challenge + proof::kNonceBytes)) {
    return Proven::kWrongProof;
  }
  std::string answer(proof::kProofBytes + n, '\0');
  uint8_t* mine = reinterpret_cast<uint8_t*>(&answer[0]);
  if (!proof::Prove(proof::Side::kClient, token.bytes, magic, client_nonce, server_nonce, mine)) {
    return Proven::kFailed;
  }
  if (n > 0) std::memcpy(&answer[proof::kProofBytes], more, n);
  bool sent = SendAll(s, answer.data(), answer.size());
  SecureZeroMemory(&answer[0], proof::kProofBytes);
  return sent ? Proven::kYes : Proven::kClosed;
}

}  // namespace relay
