// Mutual proof of a shared token on a loopback TCP connection. Every local user can listen
// on 127.0.0.1 once a port is free, so neither end trusts the other for holding the port:
// each proves it holds the token over fresh nonces from both sides, and the token itself
// never crosses the socket.
//
//   client -> server  hello:     magic (4) | client nonce (32)
//   server -> client  challenge: server nonce (32) | server proof (32)
//   client -> server  answer:    client proof (32) | what the road sends next
//
// proof = HMAC-SHA-256(token, label | magic | client nonce | server nonce), the label
// naming the side, so that neither proof can be replayed as the other. The client checks
// the server's proof before it answers, the server the client's before it reads anything
// else; a mismatch closes the connection. The hello keeps the length of the earlier
// magic-and-token hello, which an older peer therefore refuses as a wrong token.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orbisyn::proof {

constexpr size_t kMagicBytes = 4;
constexpr size_t kNonceBytes = 32;
constexpr size_t kProofBytes = 32;
constexpr size_t kTokenBytes = 32;
constexpr size_t kHelloBytes = kMagicBytes + kNonceBytes;
constexpr size_t kChallengeBytes = kNonceBytes + kProofBytes;

enum class Side { kServer, kClient };

// The proof of side over the two nonces. False when the cryptographic library fails.
bool Prove(Side side, const uint8_t token[kTokenBytes], const uint8_t magic[kMagicBytes],
           const uint8_t client_nonce[kNonceBytes], const uint8_t server_nonce[kNonceBytes],
           uint8_t proof[kProofBytes]);

// True when got is side's proof over the two nonces (compared in constant time).
bool Check(Side side, const uint8_t token[kTokenBytes], const uint8_t magic[kMagicBytes],
           const uint8_t client_nonce[kNonceBytes], const uint8_t server_nonce[kNonceBytes],
           const uint8_t got[kProofBytes]);

// True when the n bytes at a and b are equal; the time taken depends on n only.
bool SameBytes(const uint8_t* a, const uint8_t* b, size_t n);

}  // namespace orbisyn::proof
