"""plintrove: search tracking for the research engine."""
