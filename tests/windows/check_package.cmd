@echo off
rem The Windows Installer package on a real Windows machine: install with a
rem model; repairs that only put back, whatever they are given and whoever
rem starts them (a standard user, an administrator from a prompt that is not
rem elevated, who also removes it), or that find no remembered choice; an
rem upgrade; a failed install; upgrades of 1.0.0 installed in a folder with a
rem space and of 1.0.2, failed then done; removal, install, repair and
rem upgrade with PowerShell in ConstrainedLanguage mode; removal under the
rem DisableRollback policy, which refuses an install; INSTALLDIR refused. A
rem task Vantrel made by hand (the manual route's name) stands beside the
rem package's, Keldran-Vantrel, and each step that runs the package checks
rem that it was left alone.
rem Run it elevated, on a machine without Vantrel, beside two packages of
rem consecutive versions, both 1.0.3 or later (the task Keldran-Vantrel),
rem with VANTREL_1_0_0, VANTREL_1_0_1 and VANTREL_1_0_2 naming those versions'
rem packages for the steps from100, from101 and from102:
rem
rem   check_package.cmd OLDER.msi NEWER.msi [STEP ...]
rem   check_package.cmd history|poweron|history-off
rem
rem Steps, all by default, in this order: model repair limited upgrade
rem failed from100 from101 from102 constrained uninstall refused; by hand on a
rem first device, never by default: history, poweron after each power-on,
rem history-off (see :power_ons). Before each
rem msiexec the walk waits until no run of a task is going (a run the last
rem install started would turn the next result into 3010). Each check prints
rem what it read and PASS or FAIL; the exit code is the number of FAILs.
rem Every msiexec runs with /norestart, as the documented command lines do;
rem logs go to %TEMP%\vantrel-check. For its time the walk replaces any task
rem Vantrel, sets the machine-wide variable __PSLockdownPolicy and the
rem DisableRollback policy; it deletes all three again.
rem The end-to-end tests run it under Wine, which sets VANTREL_UNDER_WINE=1:
rem each check Wine cannot show (docs/DEVELOPING.md, "The package") then
rem reads SKIP. Not yet run on Windows.
setlocal EnableExtensions EnableDelayedExpansion
set "SELF=%~nx0" & set "BYHAND="
for %%s in (history poweron history-off) do if "%~1"=="%%s" set "BYHAND=%%s"
if not defined BYHAND if "%~2"=="" (
  echo usage: %~nx0 OLDER.msi NEWER.msi [model repair limited upgrade failed from100 from101 from102 constrained uninstall refused history poweron history-off]
  echo    or: %~nx0 history, poweron or history-off
  exit /b 2
)
set "OLDER=%~f1"
set "NEWER=%~f2"
shift & shift
set "STEPS=%1 %2 %3 %4 %5 %6 %7 %8"
if "%~1"=="" set "STEPS=model repair limited upgrade failed from100 from101 from102 constrained uninstall refused"

set /a PASSED=0, FAILED=0, SKIPPED=0, RUN=0
set "LOGS=%TEMP%\vantrel-check"
if not exist "%LOGS%" mkdir "%LOGS%"
set "KEY=HKLM\Software\Keldran\Settings"
set "PRODUCTKEY=HKLM\Software\Keldran\Vantrel"
rem The package's task, and the description of the tasks this walk makes
rem by hand, by which it knows them again.
set "TASK=Keldran-Vantrel"
set "HANDMADE=Made by hand for the Vantrel package check"
rem The Windows Installer service reads its policies in the native view.
set "POLICY=HKLM\Software\Policies\Microsoft\Windows\Installer"
set "NATIVE_VIEW="
if defined ProgramFiles(x86) set "NATIVE_VIEW=/reg:64"
set "ENVIRONMENT=HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
rem PowerShell of this prompt's width, and the one whose registry view the
rem settings are in (the 32-bit one on 64-bit Windows for the product).
set "PS=%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe"
set "PS_VIEW=%PS%"
if "%VANTREL_VIEW%"=="/reg:32" if exist "%SystemRoot%\SysWOW64\WindowsPowerShell\v1.0\powershell.exe" set "PS_VIEW=%SystemRoot%\SysWOW64\WindowsPowerShell\v1.0\powershell.exe"
rem The 32-bit package writes the 32-bit view and Program Files (x86) on
rem 64-bit Windows; under Wine the x64 test vehicle gives its own.
if not defined VANTREL_VIEW set "VANTREL_VIEW=/reg:32"
if "%VANTREL_VIEW%"=="/reg:32" (set "OTHER_VIEW=/reg:64") else (set "OTHER_VIEW=/reg:32")
set "PF=%ProgramFiles%"
if defined ProgramFiles(x86) if "%VANTREL_VIEW%"=="/reg:32" set "PF=%ProgramFiles(x86)%"
set "DIR=%PF%\Keldran\Vantrel\"
rem The task names the exe with the variable unexpanded, as Task Scheduler
rem keeps it: the definition of each Windows width, percent signs included.
set "TASKEXE=%%ProgramFiles%%\Keldran\Vantrel\vantrel.exe"
if defined ProgramFiles(x86) if "%VANTREL_VIEW%"=="/reg:32" set "TASKEXE=%%ProgramFiles(x86)%%\Keldran\Vantrel\vantrel.exe"
rem Folders no command line may choose: one inside Program Files, one not.
set "OWN=%PF%\Fleet Tools\Vantrel\"
set "OUTSIDE=%SystemDrive%\Fleet Tools\Vantrel\"
rem Where Task Scheduler keeps the tasks (Sysnative: seen from a 32-bit cmd).
set "TASKS=%SystemRoot%\System32\Tasks"
if exist "%SystemRoot%\Sysnative\Tasks" set "TASKS=%SystemRoot%\Sysnative\Tasks"
rem The status check: beside the walk, else in the repository's ship folder.
set "STATUS=%~dp0vantrel-status.ps1"
if not exist "%STATUS%" set "STATUS=%~dp0..\..\ship\vantrel-status.ps1"
set "HISTORY=Microsoft-Windows-TaskScheduler/Operational"
if defined BYHAND call :step_%BYHAND% & call :power_ons & exit /b !FAILED!
echo Vantrel package check: %OLDER% then %NEWER%, settings in the %VANTREL_VIEW% view, folder %DIR%

call :hand_made_task Vantrel
for %%s in (%STEPS%) do (
  echo.
  echo == %%s
  call :step_%%s
  rem Whatever the step ran, the task made by hand is as it was.
  call :task hand-made Vantrel
)
schtasks /delete /tn Vantrel /f > nul 2>&1
echo.
echo %PASSED% passed, %FAILED% failed, %SKIPPED% skipped
call :power_ons
exit /b %FAILED%

rem What this walk cannot cause itself: the power-ons.
:power_ons
echo.
echo By hand, on a first device with the package: "%SELF% history"; after each power-on
echo below, at once (within the task's minute), "%SELF% poweron"; "%SELF% history-off" last.
echo   1. Start, Power, Restart: a full boot (boot trigger; Kernel-Boot 27, boot type 0x0).
echo   2. Shut down with Fast Startup on, then power on (Kernel-Boot 27, boot type 0x1).
echo   3. Sleep, then wake (Power-Troubleshooter 1, Kernel-Power 107).
echo   4. shutdown /h, then power on (Power-Troubleshooter 1; Kernel-Boot 27, boot type 0x2).
echo   5. Where powercfg /a lists Hybrid Sleep and the plan allows it: Sleep, then wake.
echo   6. Where powercfg /a lists S0 Low Power Idle (Modern Standby): the power button,
echo      a minute, the power button again (Kernel-Power 507).
echo   7. 3 or 6 on battery, waiting six minutes after powercfg /change hibernate-timeout-dc 5
echo      (note powercfg /q scheme_current sub_sleep hibernateidle first): it hibernates.
echo Not caused here: 7 on its default timer (hours); battery saver or Energy Saver (on
echo by itself at 20 %% on battery: the task waits until it is off); a resume that
echo releases the task before a USB receiver is listed again.
exit /b 0

rem Many devices keep Task Scheduler's history off; how it was is remembered
rem once, for history-off.
:step_history
if not exist "%LOGS%\history-was.txt" wevtutil gl %HISTORY% > "%LOGS%\history-was.txt"
wevtutil sl %HISTORY% /e:true && (call :pass "Task Scheduler's history is on") || call :fail "wevtutil sl %HISTORY% /e:true failed"
exit /b 0

:step_history-off
if not exist "%LOGS%\history-was.txt" (call :fail "no remembered state of the history: run history first" & exit /b 0)
for /f "usebackq tokens=1,2" %%a in ("%LOGS%\history-was.txt") do if "%%a"=="enabled:" wevtutil sl %HISTORY% /e:%%b && (call :pass "Task Scheduler's history is back to enabled: %%b" & del "%LOGS%\history-was.txt")
if exist "%LOGS%\history-was.txt" call :fail "Task Scheduler's history is not back as it was"
exit /b 0

rem At once after a power-on; the row waits for the longest run (the minute
rem and some 268 s). History events 100 (a start) and 201 (an action's end)
rem are on Microsoft's "Task Monitoring and Control" page; 201's return code,
rem and 108, 110, 118 (started by the event trigger, by hand, at boot), are
rem field knowledge.
:step_poweron
for /f "tokens=3 delims=|{" %%w in ('find "waiting|" ^< "%STATUS%"') do set "WAITING=%%w"
call :status waiting
echo Waiting five and a half minutes for the task's run ...
ping -n 330 127.0.0.1 > nul
call :task_idle & set "ROW="
for %%e in ("Power-Troubleshooter 1" "Kernel-Boot 27" "Kernel-Power 507" "Kernel-Power 107") do for /f "tokens=1,2" %%p in (%%e) do call :newest System "*[System[Provider[@Name='Microsoft-Windows-%%p'] and EventID=%%q]]" & set "ROW=!ROW!%%p %%q: !WHEN! !TEXT!; "
call :newest %HISTORY% "*[System[EventID=100] and EventData[Data[@Name='TaskName']='\%TASK%']]"
set "STARTED=!WHEN!" & set "INSTANCE=!TEXT:*{=!"
set "INSTANCE={!INSTANCE:~0,36!}"
call :newest %HISTORY% "*[System[EventID=108 or EventID=110 or EventID=118] and EventData[Data='%INSTANCE%']]"
set "T108=event trigger" & set "T110=started by hand" & set "T118=boot trigger" & set "BY=none"
if defined ID set "BY=!T%ID%!"
call :newest %HISTORY% "*[System[EventID=201] and EventData[Data='%INSTANCE%']]"
set "GAVE=none" & if not "!WHEN!"=="none" set "GAVE=!TEXT:*return code =!"
call :status
echo ROW  !ROW!run: !BY!, started !STARTED!, return code !GAVE! status check: exit !STATE!, !SAID!
exit /b 0

rem :newest LOG XPATH: of the newest event XPATH selects in LOG, the time in
rem WHEN ("none" without one), the ID in ID, the description's first line in
rem TEXT, as wevtutil's English text labels them (a localized Windows: none).
:newest
set "WHEN=none" & set "ID=" & set "TEXT=" & set "NEXT="
wevtutil qe %1 /q:%2 /c:1 /rd:true /f:text > "%LOGS%\event.txt" 2>&1
for /f "usebackq tokens=1,2,*" %%a in ("%LOGS%\event.txt") do (
  if defined NEXT if not defined TEXT set "TEXT=%%a %%b %%c"
  if "%%a"=="Date:" set "WHEN=%%b"
  if "%%a %%b"=="Event ID:" set "ID=%%c"
  if "%%a"=="Description:" set "NEXT=1" & if not "%%b"=="" set "TEXT=%%b %%c"
)
exit /b 0

rem :status [waiting]: the status check's line names the product; it exits 0
rem exactly when the task's last result is 0 or 6 (the receiver configured),
rem and 1 with the waiting line while the task's minute after a power-on runs.
:status
if defined VANTREL_UNDER_WINE (call :skip "the status check: Wine's PowerShell is a stub that runs nothing" & exit /b 0)
"%PS%" -NoProfile -ExecutionPolicy Bypass -File "%STATUS%" > "%LOGS%\status.txt" 2>&1
set "STATE=%ERRORLEVEL%"
set "SAID=" & set /p SAID=< "%LOGS%\status.txt"
"%PS%" -NoProfile -Command "(Get-ScheduledTaskInfo -TaskPath '\' -TaskName '%TASK%').LastTaskResult" > "%LOGS%\result.txt" 2>&1
set "RESULT=" & set /p RESULT=< "%LOGS%\result.txt"
set "WANT=1"
if "%1"=="" for %%r in (0 6) do if "!RESULT!"=="%%r" set "WANT=0"
if not "!SAID:~0,9!"=="Vantrel: " set "WANT=a line that starts Vantrel:"
if "%1"=="waiting" (find "!WAITING!" "%LOGS%\status.txt" > nul || set "WANT=the line !WAITING!..., at once after the power-on")
set "MSG=the status check, the task's last result !RESULT!: exit !STATE!, !SAID!"
if "!STATE!"=="!WANT!" (call :pass) else (set "MSG=!MSG!; wanted !WANT!" & call :fail)
exit /b 0

:step_model
call :msi /i "%OLDER%" GPSPOSITIONMODE=6
call :exit_code 0
call :value GpsPositionMode "REG_DWORD 0x6"
call :task present
rem Once the install's own run of the task has ended.
call :task_idle
call :status
call :locked "%DIR%"
exit /b 0

:step_repair
rem A maintenance run puts back what the installation chose: given another
rem model and no task, it changes neither, nor does an /i of the installed
rem version given them.
call :msi /i "%OLDER%" REINSTALL=ALL REINSTALLMODE=amus GPSPOSITIONMODE=7 STARTUPTASK=0
call :exit_code 0
call :value GpsPositionMode "REG_DWORD 0x6"
call :task present
call :msi /i "%OLDER%" GPSPOSITIONMODE=7 STARTUPTASK=0
call :exit_code 0
call :value GpsPositionMode "REG_DWORD 0x6"
call :task present
call :product "%DIR%"
rem The repair Programs and Features, ConfigMgr and Intune make: no property.
if defined VANTREL_UNDER_WINE (
  call :skip "msiexec /fomus %PRODUCT%: Wine's msiexec does not repair by product code"
) else (
  call :msi /fomus %PRODUCT%
  call :exit_code 0
  call :value GpsPositionMode "REG_DWORD 0x6"
)
rem With the remembered choice gone (its key deleted by hand), a repair
rem registers no task and deletes none, whatever it is given: the task it
rem finds, here one made by hand under the package's name so that a
rem registration of the package's own would show, stays as it was. With the
rem choice back, a repair registers the package's definition again.
call :hand_made_task %TASK%
reg delete "%PRODUCTKEY%" /f %VANTREL_VIEW% > nul
call :msi /i "%OLDER%" REINSTALL=ALL REINSTALLMODE=amus STARTUPTASK=1
call :exit_code 0
call :task hand-made %TASK%
reg add "%PRODUCTKEY%" /v StartupTask /d 1 /f %VANTREL_VIEW% > nul
call :msi /i "%OLDER%" REINSTALL=ALL REINSTALLMODE=amus
call :exit_code 0
call :task present
call :repair_as_standard_user
exit /b 0

rem A repair started by a user who is not an administrator runs elevated,
rem as every later operation on a per-machine product does, and puts back
rem only what the installation chose: given STARTUPTASK=0, the task stays.
rem A local standard user made for the purpose starts it, and is deleted
rem again.
:repair_as_standard_user
if defined VANTREL_UNDER_WINE (call :skip "a repair as a standard user: Wine runs every program as an administrator" & exit /b 0)
set /a "TRY=%RANDOM% %% 9000 + 1000, PW1=%RANDOM% %% 9000 + 1000, PW2=%RANDOM% %% 9000 + 1000"
set "VANTREL_USER=VantrelCheck%TRY%"
rem Both cases, digits and a sign in 14 characters: what a complexity
rem policy asks for, and no longer than net user takes without a question.
set "VANTREL_PASSWORD=Vk-%PW1%%PW2%-qz"
net user %VANTREL_USER% %VANTREL_PASSWORD% /add < nul > "%LOGS%\net-user.txt" 2>&1
if errorlevel 1 (
  type "%LOGS%\net-user.txt"
  call :fail "net user %VANTREL_USER% /add: no standard user to repair as"
  exit /b 0
)
call :task_idle
set /a RUN+=1
set "LOG=%LOGS%\msiexec-%RUN%.log"
rem The log is in the administrator's folder, and the user, whose profile is
rem never loaded, has no temporary folder of its own: it is given the right
rem to write the log, and its temporary files go to the system's.
type nul > "%LOG%"
icacls "%LOG%" /grant "%COMPUTERNAME%\%VANTREL_USER%:M" > nul
set "ARGS=/fomus %PRODUCT% STARTUPTASK=0 as the standard user %VANTREL_USER%"
set "VANTREL_ARGS=/fomus %PRODUCT% STARTUPTASK=0 /qn /norestart /l*v "%LOG%""
rem Windows PowerShell's Start-Process gives no exit code for a process of
rem another user (and refuses -Wait there); .NET keeps the handle of a
rem process it starts itself. The values come through the environment, so
rem nothing in them needs quoting.
"%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe" -NoProfile -Command "$ErrorActionPreference = 'Stop'; $i = New-Object Diagnostics.ProcessStartInfo; $i.FileName = $env:SystemRoot + '\System32\msiexec.exe'; $i.Arguments = $env:VANTREL_ARGS; $i.UserName = $env:VANTREL_USER; $i.Domain = $env:COMPUTERNAME; $i.Password = ConvertTo-SecureString $env:VANTREL_PASSWORD -AsPlainText -Force; $i.UseShellExecute = $false; $i.WorkingDirectory = $env:SystemRoot; $e = $i.EnvironmentVariables; $e.Remove('VANTREL_PASSWORD'); $e['TEMP'] = $env:SystemRoot + '\Temp'; $e['TMP'] = $e['TEMP']; $p = [Diagnostics.Process]::Start($i); $p.WaitForExit(); 'exit ' + $p.ExitCode" > "%LOGS%\standard-user.txt" 2>&1
type "%LOGS%\standard-user.txt"
set "VANTREL_PASSWORD="
set "CODE="
for /f "usebackq tokens=1,2" %%a in ("%LOGS%\standard-user.txt") do if "%%a"=="exit" set "CODE=%%b"
net user %VANTREL_USER% /delete > nul || call :fail "net user %VANTREL_USER% /delete: the user is still there; delete it by hand"
if not defined CODE (call :fail "PowerShell did not run msiexec !ARGS! (see above)" & exit /b 0)
call :exit_code 0
call :task present
call :value GpsPositionMode "REG_DWORD 0x6"
exit /b 0

:step_limited
rem The administrator running this walk, from a prompt that is not elevated
rem (a task of theirs at the lowest run level, in their session): a repair
rem at /qn, and a removal at /qb, whose consent prompt is to be accepted by
rem hand. Then the product is installed again, elevated, for the steps after.
if defined VANTREL_UNDER_WINE (call :skip "a filtered token's msiexec: Wine has no UAC" & exit /b 0)
call :limited /fomus %PRODUCT% /qn
call :exit_code 0
call :task present
call :value GpsPositionMode "REG_DWORD 0x6"
echo Accept the consent prompt that the removal now shows.
call :limited /x %PRODUCT% /qb
call :exit_code 0
call :product none
call :task absent
call :msi /i "%OLDER%" GPSPOSITIONMODE=6
call :exit_code 0
exit /b 0

:step_upgrade
rem An upgrade takes the settings it is given.
call :msi /i "%NEWER%" GPSPOSITIONMODE=7
call :exit_code 0
call :product "%DIR%"
call :value GpsPositionMode "REG_DWORD 0x7"
call :file present "%DIR%vantrel.exe"
call :task present
exit /b 0

:step_failed
rem The write of the product's own key, which follows the settings', is
rem denied to the installer's account: the install fails after it
rem registered its task and wrote a setting, and the rollback is to delete
rem that task and put back what was there, here a value of a type the
rem package never writes. (Denying the settings key instead would stop the
rem rollback's own writes too.)
if defined VANTREL_UNDER_WINE (call :skip "a failed install: Wine applies no registry ACLs" & exit /b 0)
call :msi /x "%NEWER%"
call :exit_code 0
reg add "%KEY%" /v GpsPositionMode /t REG_EXPAND_SZ /d "%%SystemRoot%%\6" /f %VANTREL_VIEW% > nul
if errorlevel 1 call :fail "reg add: GpsPositionMode not made a REG_EXPAND_SZ"
reg add "%PRODUCTKEY%" /f %VANTREL_VIEW% > nul
call :deny Vantrel SetValue Deny
call :msi /i "%OLDER%" GPSPOSITIONMODE=5
call :exit_code 1603
call :deny Vantrel SetValue Allow
reg delete "%PRODUCTKEY%" /f %VANTREL_VIEW% > nul 2>&1
rem CALL expands percent signs once more: doubled twice, they arrive as
rem the text %SystemRoot%\6.
call :value GpsPositionMode "REG_EXPAND_SZ %%%%SystemRoot%%%%\6"
call :task absent
call :file absent "%DIR%vantrel.exe"
rem Back to what the later steps expect: the value the upgrade set.
reg add "%KEY%" /v GpsPositionMode /t REG_DWORD /d 7 /f %VANTREL_VIEW% > nul
call :msi /i "%NEWER%"
call :exit_code 0
exit /b 0

:step_from100
rem 1.0.0 installed in a folder of its own with a space in its name, then
rem upgraded: exactly one exe afterwards, in the fixed folder.
if not defined VANTREL_1_0_0 (call :skip "an upgrade from 1.0.0: VANTREL_1_0_0 names no package" & exit /b 0)
call :msi /x "%NEWER%"
call :exit_code 0
call :msi /i "%VANTREL_1_0_0%" INSTALLDIR="%OWN%" STARTUPTASK=0
call :exit_code 0
call :file present "%OWN%vantrel.exe"
call :msi /i "%NEWER%"
call :exit_code 0
call :product "%DIR%"
call :file present "%DIR%vantrel.exe"
call :file absent "%OWN%vantrel.exe"
call :exes 1
call :value GpsPositionMode "REG_DWORD 0x7"
exit /b 0

:step_from101
call :from_landed 1.0.1 VANTREL_1_0_1
exit /b 0

:step_from102
call :from_landed 1.0.2 VANTREL_1_0_2
exit /b 0

rem :from_landed VERSION VARIABLE: the version whose package VARIABLE names
rem registered its task as Vantrel: the one made by hand goes for the step.
rem A failed upgrade brings that version back with its task; the upgrade
rem done leaves the package's task, and the old removal has deleted its own.
:from_landed
if not defined %2 (call :skip "an upgrade from %1: %2 names no package" & exit /b 0)
schtasks /delete /tn Vantrel /f > nul
call :msi /x "%NEWER%"
call :exit_code 0
call :msi /i "!%2!" GPSPOSITIONMODE=6
call :exit_code 0
call :task present Vantrel
call :failed_upgrade %1
call :msi /i "%NEWER%" GPSPOSITIONMODE=7
call :exit_code 0
call :task present
call :task absent Vantrel
call :value GpsPositionMode "REG_DWORD 0x7"
call :hand_made_task Vantrel
exit /b 0

rem :failed_upgrade VERSION: SYSTEM may not open the settings key (the
rem product's own key would not do: the old removal deletes it first): the
rem upgrade fails at its write of GpsPositionMode, after the old version's
rem own removal saved and deleted its task and the upgrade registered its
rem own, with no settings read to put back.
:failed_upgrade
if defined VANTREL_UNDER_WINE (call :skip "a failed upgrade from an older version: Wine applies no registry ACLs" & exit /b 0)
call :product "%DIR%"
set "LANDED=%PRODUCT%"
call :deny Settings FullControl Deny
call :msi /i "%NEWER%" GPSPOSITIONMODE=5
call :exit_code 1603
call :deny Settings FullControl Allow
call :product "%DIR%"
if "%PRODUCT%"=="%LANDED%" (call :pass "%1 is installed again: %PRODUCT%") else (call :fail "%PRODUCT% is installed, not %1's %LANDED%")
call :task present Vantrel
call :task absent
exit /b 0

:step_constrained
rem PowerShell in ConstrainedLanguage mode, as under an application control
rem policy, refuses the COM objects a script would read a task with; the
rem package runs no PowerShell, so removal, install, repair and upgrade go
rem through. The machine-wide variable __PSLockdownPolicy=4 puts Windows
rem PowerShell in that mode without a policy (a switch it reads for testing,
rem not a documented setting); a new PowerShell's mode shows that it took.
reg add "%ENVIRONMENT%" /v __PSLockdownPolicy /d 4 /f > nul
if defined VANTREL_UNDER_WINE (
  call :skip "PowerShell's language mode: Wine's PowerShell is a stub that runs nothing"
) else (
  "%PS%" -NoProfile -Command "$ExecutionContext.SessionState.LanguageMode" > "%LOGS%\language-mode.txt" 2>&1
  set "MODE=" & set /p MODE=< "%LOGS%\language-mode.txt"
  if "!MODE!"=="ConstrainedLanguage" (call :pass "a new PowerShell runs in ConstrainedLanguage mode") else (call :fail "a new PowerShell runs in !MODE! mode, not ConstrainedLanguage")
)
call :msi /x "%NEWER%"
call :exit_code 0
call :task absent
call :msi /i "%OLDER%" GPSPOSITIONMODE=6
call :exit_code 0
call :task present
call :msi /i "%OLDER%" REINSTALL=ALL REINSTALLMODE=amus
call :exit_code 0
call :task present
call :msi /i "%NEWER%" GPSPOSITIONMODE=7
call :exit_code 0
call :task present
call :value GpsPositionMode "REG_DWORD 0x7"
reg delete "%ENVIRONMENT%" /v __PSLockdownPolicy /f > nul
exit /b 0

:step_uninstall
rem Under the DisableRollback policy the removal goes ahead, and an install
rem is refused before it changes anything. Wine's msiexec reads no such
rem policy: there DISABLEROLLBACK=1 on the command lines disables rollback.
reg add "%POLICY%" /v DisableRollback /t REG_DWORD /d 1 /f %NATIVE_VIEW% > nul
set "NOROLLBACK="
if defined VANTREL_UNDER_WINE (
  set "NOROLLBACK=DISABLEROLLBACK=1"
  echo Wine's msiexec ignores the DisableRollback policy: DISABLEROLLBACK=1 instead.
)
call :msi /x "%NEWER%" %NOROLLBACK%
call :exit_code 0
call :task absent
call :file absent "%DIR%"
call :value GpsPositionMode "REG_DWORD 0x7"
call :msi /i "%OLDER%" GPSPOSITIONMODE=5 %NOROLLBACK%
call :exit_code 1603
call :product none
call :file absent "%DIR%"
call :task absent
call :value GpsPositionMode "REG_DWORD 0x7"
reg delete "%POLICY%" /v DisableRollback /f %NATIVE_VIEW% > nul
exit /b 0

:step_refused
rem The folder is fixed: INSTALLDIR is refused whatever it names, a folder
rem inside Program Files or one any user could write to, and nothing is
rem installed.
call :msi /i "%OLDER%" INSTALLDIR="%OWN%"
call :exit_code 1603
call :file absent "%OWN%"
call :msi /i "%OLDER%" INSTALLDIR="%OUTSIDE%"
call :exit_code 1603
call :file absent "%OUTSIDE%"
call :file absent "%DIR%"
call :product none
call :task absent
exit /b 0

rem -- checks ------------------------------------------------------------

rem :msi ARGS... runs msiexec ARGS /qn /norestart, as every documented
rem command line does, with a verbose log, once no run of a task goes;
rem :exit_code WANTED then checks how it ended.
:msi
call :task_idle
set /a RUN+=1
set "LOG=%LOGS%\msiexec-%RUN%.log"
set "ARGS=%*"
set "ARGS=%ARGS:"=%"
start "" /wait msiexec %* /qn /norestart /l*v "%LOG%"
set "CODE=%ERRORLEVEL%"
exit /b 0

:exit_code
if "%CODE%"=="%~1" (call :pass "msiexec !ARGS!: exit %CODE%") else (call :fail "msiexec !ARGS!: exit %CODE%, not %~1 (log: %LOG%)")
exit /b 0

rem :value NAME "TYPE DATA" or "absent", in the view the program reads; the
rem other view must not have it. What was read goes to :pass and :fail in
rem MSG: CALL would expand the variables a REG_EXPAND_SZ names.
:value
call :read %1 %VANTREL_VIEW%
set "GOT=!READ!"
set "MSG=%1 in the %VANTREL_VIEW% view: !GOT!"
if "!GOT!"=="%~2" (call :pass) else (set "MSG=!MSG!, not %~2" & call :fail)
call :read %1 %OTHER_VIEW%
set "ELSEWHERE=!READ!"
set "MSG=%1 in the %OTHER_VIEW% view: !ELSEWHERE!"
if defined ProgramFiles(x86) (
  if "!ELSEWHERE!"=="absent" (call :pass) else (call :fail)
)
exit /b 0

rem :read NAME VIEW sets READ to "TYPE DATA", or "absent". reg always
rem answers, with the value or with why not; under Wine its answer right
rem after an msiexec run has been seen to be lost: then it is asked again.
:read
set "READ=" & set "ANSWERED=" & set /a ASKED=0
:read_again
set /a ASKED+=1
for /f "tokens=1-3" %%a in ('reg query "%KEY%" /v %1 %2 2^>^&1') do (
  set "ANSWERED=1"
  if /i "%%a"=="%~1" set "READ=%%b %%c"
)
if not defined ANSWERED if !ASKED! lss 3 goto read_again
if not defined READ set "READ=absent"
exit /b 0

rem :task present|hand-made|absent [NAME]: the task NAME, by default the
rem package's, registered from the package's definition, registered from
rem the one :hand_made_task gives, or not registered.
:task
set "TN=%~2"
if not defined TN set "TN=%TASK%"
if "%1"=="absent" (
  if exist "%TASKS%\%TN%" (call :fail "task %TN% is registered") else (call :pass "no task %TN%")
  exit /b 0
)
if not exist "%TASKS%\%TN%" (call :fail "no task %TN%" & exit /b 0)
call :pass "task %TN% is registered"
rem schtasks writes the definition as UTF-16, which findstr cannot read:
rem type turns it into the console's code page. Wine's schtasks /query
rem prints nothing: there the file Wine keeps is read. No pipes below: the
rem other side of one would expand the percent signs of the exe's path.
set "DEFINITION=%TASKS%\%TN%"
if not defined VANTREL_UNDER_WINE (
  schtasks /query /tn "%TN%" /xml > "%LOGS%\task-utf16.xml"
  set "DEFINITION=%LOGS%\task-utf16.xml"
)
type "%DEFINITION%" > "%LOGS%\task.xml"
rem Its description says whose it is. (find, as findstr would not say
rem under Wine: there it finds nothing and exits 0.)
if "%1"=="hand-made" (
  find "%HANDMADE%" "%LOGS%\task.xml" > nul
  if errorlevel 1 (call :fail "it is not the one made by hand: its description is not %HANDMADE%") else (call :pass "it is the one made by hand, as it was: %HANDMADE%")
  exit /b 0
)
find "Vantrel: configures" "%LOGS%\task.xml" > nul
if errorlevel 1 (call :fail "its definition is not Vantrel's: its description is not") else (call :pass "its definition is Vantrel's, by its description")
if defined VANTREL_UNDER_WINE (call :skip "the task's definition: Wine stores no triggers or actions" & exit /b 0)
type "%LOGS%\task.xml"
rem Each trigger's lines go to a file of their own, so that what is found
rem there belongs to that trigger.
type nul > "%LOGS%\boot-trigger.xml"
type nul > "%LOGS%\event-trigger.xml"
set "IN="
for /f "usebackq delims=" %%l in ("%LOGS%\task.xml") do (
  set "LINE=%%l"
  if not "!LINE:<BootTrigger>=!"=="!LINE!" set "IN=boot"
  if not "!LINE:<EventTrigger>=!"=="!LINE!" set "IN=event"
  if "!IN!"=="boot" >> "%LOGS%\boot-trigger.xml" echo(!LINE!
  if "!IN!"=="event" >> "%LOGS%\event-trigger.xml" echo(!LINE!
  if not "!LINE:</BootTrigger>=!"=="!LINE!" set "IN="
  if not "!LINE:</EventTrigger>=!"=="!LINE!" set "IN="
)
findstr /l /c:"<Delay>PT1M</Delay>" "%LOGS%\boot-trigger.xml" > nul && (call :pass "it starts a minute after boot") || (call :fail "no boot trigger with a delay of a minute (PT1M)")
findstr /l /c:"<Delay>PT1M</Delay>" "%LOGS%\event-trigger.xml" > nul && (call :pass "its event trigger starts it a minute late") || (call :fail "no event trigger with a delay of a minute (PT1M)")
call :selects "Microsoft-Windows-Power-Troubleshooter" 1 "a resume from sleep or hibernation"
call :selects "Microsoft-Windows-Kernel-Boot" 27 "a power-on after a Fast Startup shutdown"
call :selects "Microsoft-Windows-Kernel-Power" 507 "an exit from Modern Standby"
call :selects "Microsoft-Windows-Kernel-Power" 107 "a resume from sleep"
rem The path is handed to :pass and :fail in MSG: CALL would expand it.
set "MSG=it runs !TASKEXE!"
findstr /l /i /c:"<Command>!TASKEXE!</Command>" "%LOGS%\task.xml" > nul && (call :pass) || (set "MSG=it does not run !TASKEXE!" & call :fail)
exit /b 0

rem :selects PROVIDER ID WHEN: the event trigger's query takes that event.
:selects
findstr /l /c:"Provider[@Name='%~1'] and EventID=%~2]" "%LOGS%\event-trigger.xml" > nul && (call :pass "it starts after %~3: %~1, Event ID %~2") || (call :fail "no Select for %~1's Event ID %~2 (%~3)")
exit /b 0

rem :product FOLDER: exactly one product Vantrel in Programs and Features,
rem installed in FOLDER; its product code in PRODUCT. :product none: none.
:product
set "CURRENT="
set "PRODUCT="
set "WHERE=none"
set /a FOUND=0
for /f "tokens=1,2,*" %%a in ('reg query "HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" /s %VANTREL_VIEW% 2^>nul') do call :uninstall_line "%%a" "%%b" "%%c"
for %%k in ("%PRODUCT%") do set "PRODUCT=%%~nxk"
if "%~1"=="none" (
  if %FOUND%==0 (call :pass "no product Vantrel registered") else (call :fail "%FOUND% products Vantrel registered, %PRODUCT% among them")
  exit /b 0
)
echo product code %PRODUCT%, InstallLocation %WHERE%
if %FOUND%==1 (call :pass "one product Vantrel registered") else (call :fail "%FOUND% products Vantrel registered")
if /i "%WHERE%"=="%~1" (call :pass "its InstallLocation is %~1") else (call :fail "its InstallLocation is %WHERE%, not %~1")
exit /b 0

rem One line of the Uninstall key's listing: a key of its own, or a value.
:uninstall_line
set "KIND=%~2"
if /i not "%KIND:~0,4%"=="REG_" (set "CURRENT=%~1" & exit /b 0)
if /i "%~1"=="DisplayName" if "%~3"=="Vantrel" (set "PRODUCT=%CURRENT%" & set /a FOUND+=1)
if /i "%~1"=="InstallLocation" if defined PRODUCT if "%CURRENT%"=="%PRODUCT%" set "WHERE=%~3"
exit /b 0

rem :file present|absent PATH
:file
if exist "%~2" (set "SEEN=present") else (set "SEEN=absent")
if "!SEEN!"=="%1" (call :pass "%~2: !SEEN!") else (call :fail "%~2: !SEEN!, not %1")
exit /b 0

rem :locked FOLDER: no user but administrators and SYSTEM may change it.
:locked
if defined VANTREL_UNDER_WINE (call :skip "the ACL of %~1: Wine applies none" & exit /b 0)
icacls "%~1"
set "WEAK="
for /f "delims=" %%l in ('icacls "%~1" ^| findstr /i /c:"Users:" /c:"Everyone:"') do (
  echo %%l | findstr /r /c:"[(,]F[,)]" /c:"[(,]M[,)]" /c:"[(,]W[,)]" /c:"[(,]WD[,)]" /c:"[(,]AD[,)]" /c:"[(,]WDAC[,)]" /c:"[(,]WO[,)]" /c:"[(,]GA[,)]" /c:"[(,]GW[,)]" >nul && set "WEAK=%%l"
)
if defined WEAK (call :fail "%~1 can be changed by: !WEAK!") else (call :pass "%~1: only administrators and SYSTEM can change it")
exit /b 0

rem :deny KEY RIGHTS Deny|Allow: SYSTEM (the installer's account) is denied,
rem or no longer, RIGHTS on HKLM\Software\Keldran\KEY, in the 32-bit view.
:deny
"%PS_VIEW%" -NoProfile -Command "$k = 'HKLM:\SOFTWARE\Keldran\%1'; $a = Get-Acl $k; $r = New-Object System.Security.AccessControl.RegistryAccessRule((New-Object System.Security.Principal.SecurityIdentifier('S-1-5-18')), '%2', 'Deny'); if ('%3' -eq 'Deny') { $a.AddAccessRule($r) } else { [void]$a.RemoveAccessRule($r) }; Set-Acl $k $a"
exit /b 0

rem :limited ARGS...: msiexec ARGS /norestart as this administrator with a
rem filtered token, as from a prompt that is not elevated: a task of theirs
rem at the lowest run level, run in their session; its exit code in CODE.
:limited
call :task_idle
set /a RUN+=1
set "LOG=%LOGS%\msiexec-%RUN%.log"
set "ARGS=%* as %USERNAME% from a prompt that is not elevated"
if exist "%LOGS%\limited-code.txt" del "%LOGS%\limited-code.txt"
> "%LOGS%\limited.cmd" echo @msiexec %* /norestart /l*v "%LOG%"
>> "%LOGS%\limited.cmd" echo @echo %%ERRORLEVEL%% ^> "%LOGS%\limited-code.txt"
schtasks /create /tn VantrelCheckLimited /tr "\"%LOGS%\limited.cmd\"" /sc once /st 23:59 /rl LIMITED /it /f > nul
schtasks /run /tn VantrelCheckLimited > nul
set /a WAITED=0
:limited_wait
if exist "%LOGS%\limited-code.txt" goto limited_done
set /a WAITED+=1
if !WAITED! gtr 300 goto limited_done
ping -n 2 127.0.0.1 > nul
goto limited_wait
:limited_done
schtasks /delete /tn VantrelCheckLimited /f > nul
set "CODE=none"
if exist "%LOGS%\limited-code.txt" for /f "usebackq tokens=1" %%c in ("%LOGS%\limited-code.txt") do set "CODE=%%c"
exit /b 0

rem :task_idle waits, up to five minutes, until no run of the package's task
rem or 1.0.2's is going. A cmdlet reads it: PowerShell in ConstrainedLanguage
rem mode runs cmdlets, but no COM object of Task Scheduler's.
:task_idle
if defined VANTREL_UNDER_WINE exit /b 0
set /a WAITED=0
:task_idle_again
"%PS%" -NoProfile -Command "if (Get-ScheduledTask -TaskPath '\' -TaskName '%TASK%', 'Vantrel' -ErrorAction SilentlyContinue | Where-Object State -eq Running) { exit 1 }"
if not errorlevel 1 exit /b 0
set /a WAITED+=1
if !WAITED! gtr 150 (call :fail "a run of the task still going after five minutes" & exit /b 0)
ping -n 3 127.0.0.1 > nul
goto task_idle_again

rem :hand_made_task NAME registers a task NAME of one's own, described as
rem HANDMADE says, disabled, running cmd.exe: ASCII with no encoding named,
rem as Task Scheduler's own XML examples for schtasks are (a redirection per
rem line: Wine's cmd does not redirect a block in parentheses as a whole).
:hand_made_task
set "XML=%LOGS%\hand-made.xml"
> "%XML%" echo ^<?xml version="1.0"?^>
>> "%XML%" echo ^<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task"^>
>> "%XML%" echo ^<RegistrationInfo^>^<Description^>%HANDMADE%^</Description^>^</RegistrationInfo^>
>> "%XML%" echo ^<Principals^>^<Principal id="S"^>^<UserId^>S-1-5-18^</UserId^>^</Principal^>^</Principals^>
>> "%XML%" echo ^<Settings^>^<Enabled^>false^</Enabled^>^</Settings^>
>> "%XML%" echo ^<Actions Context="S"^>^<Exec^>^<Command^>cmd.exe^</Command^>^<Arguments^>/c exit 0^</Arguments^>^</Exec^>^</Actions^>
>> "%XML%" echo ^</Task^>
schtasks /create /tn %1 /xml "%XML%" /f > nul
if errorlevel 1 call :fail "schtasks /create: no task %1 made by hand"
exit /b 0

rem :exes N: exactly N files vantrel.exe under the Program Files folders.
:exes
set /a EXES=0
for %%r in ("%ProgramFiles%" "%ProgramFiles(x86)%") do if exist "%%~r\" for /f "delims=" %%f in ('dir /s /b "%%~r\vantrel.exe" 2^>nul') do set /a EXES+=1
if !EXES!==%1 (call :pass "%1 vantrel.exe under Program Files") else (call :fail "!EXES! vantrel.exe under Program Files, not %1")
exit /b 0

rem :pass, :fail and :skip MESSAGE, or with no argument the message in MSG,
rem for text whose percent signs CALL would expand.
:pass
set /a PASSED+=1
if not "%~1"=="" set "MSG=%~1"
echo PASS  !MSG!
exit /b 0

:fail
set /a FAILED+=1
if not "%~1"=="" set "MSG=%~1"
echo FAIL  !MSG!
exit /b 0

:skip
set /a SKIPPED+=1
if not "%~1"=="" set "MSG=%~1"
echo SKIP  !MSG!
exit /b 0
