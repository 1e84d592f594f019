"""Vantrel's developer tools: the release, the Windows Installer package,
signing, the demo, and what they share with the tests (the protocol's facts,
the frame decoder, Wine). Run from the repository's root as
`python3 -m tools.NAME`."""
