"""Mutual proof of a shared token on a loopback connection (the core's twin).

Every local user can listen on 127.0.0.1 once a port is free, so neither end
trusts the other for holding the port: each proves it holds the token over fresh
nonces from both sides, and the token never crosses the socket::

    client -> server  hello:     magic (4) | client nonce (32)
    server -> client  challenge: server nonce (32) | server proof (32)
    client -> server  answer:    client proof (32) | what the road sends next

``proof = HMAC-SHA-256(token, label | magic | client nonce | server nonce)``,
the label naming the side.
"""
from __future__ import annotations

import hashlib
import hmac
import secrets

MAGIC_BYTES = 4
NONCE_BYTES = 32
PROOF_BYTES = 32
TOKEN_BYTES = 32
HELLO_BYTES = MAGIC_BYTES + NONCE_BYTES
CHALLENGE_BYTES = NONCE_BYTES + PROOF_BYTES

SERVER = b"orbisyn server proof"
CLIENT = b"orbisyn client proof"


def nonce() -> bytes:
    return secrets.token_bytes(NONCE_BYTES)


def prove(side: bytes, token: bytes, magic: bytes, client_nonce: bytes, server_nonce: bytes) -> bytes:
    return hmac.new(token, side + magic + client_nonce + server_nonce, hashlib.sha256).digest()


def check(side: bytes, token: bytes, magic: bytes, client_nonce: bytes, server_nonce: bytes,
          got: bytes) -> bool:
    return hmac.compare_digest(prove(side, token, magic, client_nonce, server_nonce), got)
