"""Replays over history: a replay's folder and facts, and the report of a replay or paper account."""
