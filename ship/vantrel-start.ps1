# Starts Vantrel's start-up task now: the remediation beside the status
# check (vantrel-status.ps1), for a device whose receiver was not found
# configured since its last power-on. The package's task Keldran-Vantrel,
# else the manual route's Vantrel. Task Scheduler runs one at a time: a run
# already going is left to finish, and one more sets what is already set.
# A start that fails throws, which Configuration Manager needs to see a
# failed remediation, and which ends PowerShell with exit 1 for Intune.
$name = 'Keldran-Vantrel'
schtasks.exe /query /tn $name > $null 2>&1
if ($LASTEXITCODE -ne 0) { $name = 'Vantrel' }
schtasks.exe /run /tn $name
if ($LASTEXITCODE -ne 0) { throw ('schtasks /run /tn {0} failed with exit code {1}' -f $name, $LASTEXITCODE) }
