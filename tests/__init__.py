"""The tests: unit tests and the double (C++), the release checks (exe),
the end-to-end scenarios under Wine (e2e)."""
