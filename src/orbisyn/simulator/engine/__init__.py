"""The simulated Terminal's trading engine: positions, orders, history and trade requests."""
from .accounts import create_account, reset_account
from .trading import TradingEngine

__all__ = ["TradingEngine", "create_account", "reset_account"]
