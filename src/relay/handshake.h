// The relay's two ends of the loopback proof (link/loopback_proof.h). As a server it
// answers a client's hello with a challenge and checks the client's proof before it reads
// anything else; as a client it checks the server's proof before it sends its own and
// whatever the road sends next. The token never crosses the socket either way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/loopback_proof.h"
#include "relay.h"

namespace relay {

namespace proof = orbisyn::proof;

// Server side, for one client whose hello carried client_nonce: a fresh nonce of ours and
// our proof, in the order they go to the client (bytes). False when no random bytes or
// no HMAC could be had.
struct Challenge {
  uint8_t client_nonce[proof::kNonceBytes];
  uint8_t bytes[proof::kChallengeBytes];  // server nonce | server proof
};
bool MakeChallenge(const Token& token, const uint8_t magic[proof::kMagicBytes],
                   const uint8_t client_nonce[proof::kNonceBytes], Challenge* out);

// True when got is the client's proof for the challenge.
bool ClientProved(const Token& token, const uint8_t magic[proof::kMagicBytes],
                  const Challenge& challenge, const uint8_t got[proof::kProofBytes]);

enum class Proven {
  kYes,         // both proved; `more` went out after our proof
  kClosed,      // the server closed before its whole challenge came (a flood pushes us out)
  kNoAnswer,    // the deadline passed before the whole challenge came
  kWrongProof,  // it answered, but not with a proof of the token
  kFailed,      // our own side failed (random bytes, HMAC)
};

// Client side on a connected socket: sends the hello, checks the server's challenge
// (all by deadline, GetTickCount64 time), then sends our proof followed by the n bytes at
// more in one write.
Proven ProveToServer(SOCKET s, const Token& token, const uint8_t magic[proof::kMagicBytes],
                     const void* more, size_t n, ULONGLONG deadline);

}  // namespace relay
