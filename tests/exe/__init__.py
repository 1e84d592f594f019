"""Checks of the built exe, the release bundle and the package."""
