"""Shared pieces of the test suite: fake and hostile Terminals, argument rules, wire layouts."""
