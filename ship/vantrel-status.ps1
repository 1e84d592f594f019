# Whether Vantrel has configured the receiver since the device's last
# power-on, as one line that stays the same from one check to the next (no
# times in it), for a management tool to show per device:
#
#   powershell -NoProfile -ExecutionPolicy Bypass -File vantrel-status.ps1
#
# Exit 0 only when the last run since the last power-on configured the
# receiver; 1 for every other state, which a remediation answers by
# starting the task (vantrel-start.ps1).
#
# It reads only what Windows keeps: the start-up task's last run time and
# result (the package's task Keldran-Vantrel, else the manual route's
# Vantrel), the boot time, and the newest of the events the task starts
# after. It cannot know which trigger started a run, whether the receiver
# lost power since, or, for a result of 0, whether the model was confirmed
# or its set or poll failed: the line says what the result says, no more.
# Runs on Windows PowerShell 2.0 (Windows 7) and 5.1, 32- and 64-bit, and
# in ConstrainedLanguage mode, where it uses the ScheduledTasks module and
# no COM object.

# What a run's result means: the code, how Task Scheduler shows it, and the
# meaning. Vantrel's own exit codes first, as the guide's table gives them;
# Task Scheduler shows 2 and 5 as Windows errors. Then Task Scheduler's own.
$Codes = @'
0|0x0|Port configuration acknowledged, and the model stage ran: the model read back equals the requested one, or the model set or poll did not succeed.
1|0x1|Port configuration not acknowledged; model stage as for 0.
2|0x2, "The system cannot find the file specified."|No port could be opened; nothing was sent.
4|0x4|Port configuration acknowledged; model set acknowledged, poll answered, and the receiver reports a different model.
5|0x5, "Access is denied."|As 4, but the port configuration was not acknowledged.
6|0x6|Model stage disabled by DisableVantrel; port configuration acknowledged.
7|0x7|Model stage disabled; port configuration not acknowledged.
267009|0x41301|Task Scheduler: the task is running now.
267011|0x41303|Task Scheduler: the task has not yet run.
2147946720|0x800710E0|Task Scheduler: the start was refused (the task, or a condition of it, did not allow it).
2147750687|0x8004131F|Task Scheduler: a run was already going, so this start was dropped.
2147942402|0x80070002|Task Scheduler: vantrel.exe is not where the task names it.
'@
# The results that mean the receiver was configured.
$Configured = @(0, 6)

# The states, in the order they are decided, each with its exit code and
# line: {0} the task, {1} the result's code, {2} its meaning, {3} the
# minutes a run may take to come after a power-on (the task's minute, and
# the longest run, about 4.5 minutes), {4} whether the run was since the
# last power-on or before it.
$States = @'
no task|1|Vantrel: no start-up task (neither Keldran-Vantrel nor Vantrel is registered).
disabled|1|Vantrel: the start-up task {0} is disabled.
never run|1|Vantrel: the task {0} has never run.
configured|0|Vantrel: configured since the last power-on (result {1}: {2})
waiting|1|Vantrel: not run since the last power-on yet; the task starts it within {3} minutes of it.
not configured|1|Vantrel: not configured; the last run, {4} the last power-on, gave {1}: {2}
'@
$AllowanceMinutes = 6

# The events the task starts after, besides the boot: provider and event ID.
$PowerOnEvents = @'
Microsoft-Windows-Power-Troubleshooter|1
Microsoft-Windows-Kernel-Boot|27
Microsoft-Windows-Kernel-Power|507
Microsoft-Windows-Kernel-Power|107
'@

function Get-Rows([string]$text) {
    $rows = @()
    foreach ($line in ($text -split "`n")) {
        $line = $line.Trim()
        if ($line) { $rows += ,($line -split '\|') }
    }
    return $rows
}

function Get-TaskRun([string]$name) {
    if (Get-Command Get-ScheduledTaskInfo -ErrorAction SilentlyContinue) {
        $task = Get-ScheduledTask -TaskPath '\' -TaskName $name -ErrorAction SilentlyContinue
        if (-not $task) { return $null }
        $info = Get-ScheduledTaskInfo -TaskPath '\' -TaskName $name
        return @{ Name = $name; Enabled = ($task.State -ne 'Disabled'); LastRun = $info.LastRunTime;
                  Result = [int64]$info.LastTaskResult }
    }
    # Windows 7's PowerShell 2.0 has no ScheduledTasks module; Task
    # Scheduler's scripting object holds the same facts there.
    $service = New-Object -ComObject Schedule.Service
    $service.Connect()
    try { $task = $service.GetFolder('\').GetTask($name) } catch { return $null }
    return @{ Name = $name; Enabled = $task.Enabled; LastRun = $task.LastRunTime; Result = [int64]$task.LastTaskResult }
}

function Get-LastPowerOn {
    if (Get-Command Get-CimInstance -ErrorAction SilentlyContinue) {
        $last = (Get-CimInstance Win32_OperatingSystem).LastBootUpTime
    } else {
        $os = Get-WmiObject Win32_OperatingSystem
        $last = $os.ConvertToDateTime($os.LastBootUpTime)
    }
    # A Fast Startup power-on, a resume or an exit from Modern Standby
    # leaves the boot time as it was: the events tell them.
    foreach ($event in (Get-Rows $PowerOnEvents)) {
        $found = Get-WinEvent -FilterHashtable @{ LogName = 'System'; ProviderName = $event[0]; Id = [int]$event[1] } `
                              -MaxEvents 1 -ErrorAction SilentlyContinue
        if ($found -and $found.TimeCreated -gt $last) { $last = $found.TimeCreated }
    }
    return $last
}

$run = Get-TaskRun 'Keldran-Vantrel'
if (-not $run) { $run = Get-TaskRun 'Vantrel' }
$result = $null
$since = $false
$state = 'no task'
if ($run) {
    # COM gives the result as a signed number.
    $result = $run.Result
    if ($result -lt 0) { $result += 4294967296 }
    $powerOn = Get-LastPowerOn
    $never = $result -eq 267011 -or -not $run.LastRun -or $run.LastRun.Year -lt 2000
    if (-not $never) { $since = $run.LastRun -ge $powerOn }
    if (-not $run.Enabled) { $state = 'disabled' }
    elseif ($never) { $state = 'never run' }
    elseif ($since -and $Configured -contains $result) { $state = 'configured' }
    elseif (-not $since -and (Get-Date) -lt $powerOn.AddMinutes($AllowanceMinutes)) { $state = 'waiting' }
    else { $state = 'not configured' }
}

$meaning = 'a code Vantrel and Task Scheduler do not give'
$shown = ''
if ($result -ne $null) { $shown = '0x{0:X}' -f $result }
foreach ($code in (Get-Rows $Codes)) {
    if ([int64]$code[0] -eq $result) { $shown = $code[1]; $meaning = $code[2] }
}
$when = 'before'
if ($since) { $when = 'since' }
foreach ($row in (Get-Rows $States)) {
    if ($row[0] -eq $state) {
        Write-Output ($row[2] -f $run.Name, $shown, $meaning, $AllowanceMinutes, $when)
        exit [int]$row[1]
    }
}
