"""plintrove: search tracking for the research engine."""

__version__ = "0.1.0"
