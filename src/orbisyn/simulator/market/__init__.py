"""The market: the symbol catalogue, prices (synthetic or imported), the present, and the
market-data and symbol commands."""
