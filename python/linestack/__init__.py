"""Inverted Gaussian line profiles on a common grid (placeholder)."""
