"""orvane: portfolio back-testing of stock strategies on a native engine."""

__version__ = "0.1.0"
