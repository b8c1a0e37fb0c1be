"""A Terminal process: its socket and loopback TCP, the lock, its connections and login."""
