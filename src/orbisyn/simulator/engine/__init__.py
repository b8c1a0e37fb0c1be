"""Building blocks of the simulated Terminal's trading engine (see ``trading``)."""
