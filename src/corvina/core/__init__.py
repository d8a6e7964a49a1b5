"""Core helpers and the compiled simulation storage extension.

Kept free of imports so that ``import corvina.core.lazy`` does not load the
extension module.
"""
