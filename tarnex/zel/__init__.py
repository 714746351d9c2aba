"""Exact 512-bit fixed-point tensors; the module itself is ``tarnex.zel.zel``."""
