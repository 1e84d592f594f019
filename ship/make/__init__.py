"""The build side: the Windows Installer package, the release bundle, signing."""
