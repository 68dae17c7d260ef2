"""The models and drawn inputs the tests share: one place, imported by any test module."""
