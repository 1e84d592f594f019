@echo off
rem The Windows Installer package on a real Windows machine: install with a
rem model, repairs, an upgrade, a failed install, uninstall, STARTUPTASK=0
rem with a folder of its own, and a refused folder. Run it elevated, on a
rem machine without Vantrel, beside two packages of consecutive versions:
rem
rem   check_package.cmd vantrel-1.0.0-win32.msi vantrel-1.0.1-win32.msi [STEP ...]
rem
rem Steps, all by default, in this order: model repair upgrade failed
rem uninstall own-folder refused. Each check prints what it read and PASS or
rem FAIL; the exit code is the number of FAILs. Logs go to %TEMP%\vantrel-check.
rem The end-to-end tests run it under Wine, which sets VANTREL_UNDER_WINE=1:
rem what Wine cannot show (the stored task's definition, ACLs, msiexec /f,
rem the failed install, which needs PowerShell) then reads SKIP. Not yet
rem run on Windows.
setlocal EnableExtensions EnableDelayedExpansion
if "%~2"=="" (
  echo usage: %~nx0 OLDER.msi NEWER.msi [model repair upgrade failed uninstall own-folder refused]
  exit /b 2
)
set "OLDER=%~f1"
set "NEWER=%~f2"
shift & shift
set "STEPS=%1 %2 %3 %4 %5 %6 %7"
if "%~1"=="" set "STEPS=model repair upgrade failed uninstall own-folder refused"

set /a PASSED=0, FAILED=0, SKIPPED=0, RUN=0
set "LOGS=%TEMP%\vantrel-check"
if not exist "%LOGS%" mkdir "%LOGS%"
set "KEY=HKLM\Software\Keldran\Settings"
rem The 32-bit package writes the 32-bit view and Program Files (x86) on
rem 64-bit Windows; under Wine the x64 test vehicle gives its own.
if not defined VANTREL_VIEW set "VANTREL_VIEW=/reg:32"
if "%VANTREL_VIEW%"=="/reg:32" (set "OTHER_VIEW=/reg:64") else (set "OTHER_VIEW=/reg:32")
set "PF=%ProgramFiles%"
if defined ProgramFiles(x86) if "%VANTREL_VIEW%"=="/reg:32" set "PF=%ProgramFiles(x86)%"
set "DIR=%PF%\Keldran\Vantrel\"
set "OWN=%PF%\Fleet Tools\Vantrel\"
set "OUTSIDE=%SystemDrive%\Fleet Tools\Vantrel\"
rem Where Task Scheduler keeps the task (Sysnative: seen from a 32-bit cmd).
set "TASKFILE=%SystemRoot%\System32\Tasks\Vantrel"
if exist "%SystemRoot%\Sysnative\Tasks" set "TASKFILE=%SystemRoot%\Sysnative\Tasks\Vantrel"
echo Vantrel package check: %OLDER% then %NEWER%, settings in the %VANTREL_VIEW% view, folder %DIR%

for %%s in (%STEPS%) do (
  echo.
  echo == %%s
  call :step_%%s
)
echo.
echo %PASSED% passed, %FAILED% failed, %SKIPPED% skipped
exit /b %FAILED%

:step_model
call :msi /i "%OLDER%" GPSPOSITIONMODE=6
call :exit_code 0
call :value GpsPositionMode "REG_DWORD 0x6"
call :task present "%DIR%"
call :locked "%DIR%"
exit /b 0

:step_repair
call :msi /i "%OLDER%" REINSTALL=ALL REINSTALLMODE=amus
call :exit_code 0
call :value GpsPositionMode "REG_DWORD 0x6"
call :product "%DIR%"
rem The repair Programs and Features, ConfigMgr and Intune make: no property.
if defined VANTREL_UNDER_WINE (
  call :skip "msiexec /fomus %PRODUCT%: Wine's msiexec does not repair by product code"
) else (
  call :msi /fomus %PRODUCT%
  call :exit_code 0
  call :value GpsPositionMode "REG_DWORD 0x6"
)
call :msi /i "%OLDER%" REINSTALL=ALL REINSTALLMODE=amus GPSPOSITIONMODE=7
call :exit_code 0
call :value GpsPositionMode "REG_DWORD 0x7"
call :task present "%DIR%"
exit /b 0

:step_upgrade
call :msi /i "%NEWER%"
call :exit_code 0
call :product "%DIR%"
call :value GpsPositionMode "REG_DWORD 0x7"
call :file present "%DIR%vantrel.exe"
call :task present "%DIR%"
exit /b 0

:step_failed
rem A setting write the installer's own account is denied fails after the
rem task was registered: everything is to be rolled back.
if defined VANTREL_UNDER_WINE (call :skip "a failed install: Wine applies no registry ACLs" & exit /b 0)
call :msi /x "%NEWER%"
call :exit_code 0
call :deny_writes Deny
call :msi /i "%OLDER%" GPSPOSITIONMODE=5
call :exit_code 1603
call :deny_writes Allow
call :value GpsPositionMode "REG_DWORD 0x7"
call :task absent
call :file absent "%DIR%vantrel.exe"
call :msi /i "%NEWER%"
call :exit_code 0
exit /b 0

:step_uninstall
call :msi /x "%NEWER%"
call :exit_code 0
call :task absent
call :file absent "%DIR%"
call :value GpsPositionMode "REG_DWORD 0x7"
exit /b 0

:step_own-folder
call :msi /i "%OLDER%" STARTUPTASK=0 INSTALLDIR="%OWN%"
call :exit_code 0
call :product "%OWN%"
call :file present "%OWN%vantrel.exe"
call :file absent "%DIR%"
call :task absent
call :locked "%OWN%"
call :msi /i "%OLDER%" REINSTALL=ALL REINSTALLMODE=amus
call :exit_code 0
call :file present "%OWN%vantrel.exe"
call :task absent
call :msi /i "%NEWER%"
call :exit_code 0
call :file present "%OWN%vantrel.exe"
call :file absent "%DIR%"
call :task absent
call :msi /x "%NEWER%"
call :exit_code 0
call :file absent "%OWN%"
exit /b 0

:step_refused
call :msi /i "%OLDER%" INSTALLDIR="%OUTSIDE%"
call :exit_code 1603
call :file absent "%OUTSIDE%"
call :task absent
exit /b 0

rem -- checks ------------------------------------------------------------

rem :msi ARGS... runs msiexec ARGS /qn with a verbose log; :exit_code WANTED
rem then checks how it ended.
:msi
set /a RUN+=1
set "LOG=%LOGS%\msiexec-%RUN%.log"
set "ARGS=%*"
set "ARGS=%ARGS:"=%"
start "" /wait msiexec %* /qn /l*v "%LOG%"
set "CODE=%ERRORLEVEL%"
exit /b 0

:exit_code
if "%CODE%"=="%~1" (call :pass "msiexec !ARGS!: exit %CODE%") else (call :fail "msiexec !ARGS!: exit %CODE%, not %~1 (log: %LOG%)")
exit /b 0

rem :value NAME "TYPE DATA" or "absent", in the view the program reads; the
rem other view must not have it.
:value
set "GOT=absent"
for /f "tokens=1-3" %%a in ('reg query "%KEY%" /v %1 %VANTREL_VIEW% 2^>nul') do if /i "%%a"=="%~1" set "GOT=%%b %%c"
if "!GOT!"=="%~2" (call :pass "%1 in the %VANTREL_VIEW% view: !GOT!") else (call :fail "%1 in the %VANTREL_VIEW% view: !GOT!, not %~2")
set "ELSEWHERE=absent"
for /f "tokens=1-3" %%a in ('reg query "%KEY%" /v %1 %OTHER_VIEW% 2^>nul') do if /i "%%a"=="%~1" set "ELSEWHERE=%%b %%c"
if defined ProgramFiles(x86) (
  if "!ELSEWHERE!"=="absent" (call :pass "%1 in the %OTHER_VIEW% view: absent") else (call :fail "%1 in the %OTHER_VIEW% view: !ELSEWHERE!")
)
exit /b 0

rem :task present FOLDER, or :task absent
:task
if "%1"=="absent" (
  if exist "%TASKFILE%" (call :fail "task Vantrel is registered") else (call :pass "no task Vantrel")
  exit /b 0
)
if not exist "%TASKFILE%" (call :fail "no task Vantrel" & exit /b 0)
call :pass "task Vantrel is registered"
if defined VANTREL_UNDER_WINE (call :skip "the task's definition: Wine stores no triggers or actions" & exit /b 0)
rem schtasks writes the definition as UTF-16, which findstr cannot read:
rem type turns it into the console's code page first.
schtasks /query /tn Vantrel /xml > "%LOGS%\task.xml"
type "%LOGS%\task.xml"
type "%LOGS%\task.xml" | findstr /l /c:"<BootTrigger>" >nul && (call :pass "the task starts at boot") || (call :fail "the task has no boot trigger")
type "%LOGS%\task.xml" | findstr /l /i /c:"%~2vantrel.exe" >nul && (call :pass "the task runs %~2vantrel.exe") || (call :fail "the task does not run %~2vantrel.exe")
exit /b 0

rem :product FOLDER: exactly one product Vantrel in Programs and Features,
rem installed in FOLDER; its product code in PRODUCT.
:product
set "CURRENT="
set "PRODUCT="
set "WHERE=none"
set /a FOUND=0
for /f "tokens=1,2,*" %%a in ('reg query "HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" /s %VANTREL_VIEW% 2^>nul') do call :uninstall_line "%%a" "%%b" "%%c"
for %%k in ("%PRODUCT%") do set "PRODUCT=%%~nxk"
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

rem :deny_writes Deny|Allow: SYSTEM (the installer's account) may not, or
rem may again, set values under the settings key, in the 32-bit view.
:deny_writes
set "PS=%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe"
if exist "%SystemRoot%\SysWOW64\WindowsPowerShell\v1.0\powershell.exe" set "PS=%SystemRoot%\SysWOW64\WindowsPowerShell\v1.0\powershell.exe"
"%PS%" -NoProfile -Command "$k = 'HKLM:\SOFTWARE\Keldran\Settings'; $a = Get-Acl $k; $r = New-Object System.Security.AccessControl.RegistryAccessRule('NT AUTHORITY\SYSTEM', 'SetValue', 'Deny'); if ('%1' -eq 'Deny') { $a.AddAccessRule($r) } else { [void]$a.RemoveAccessRule($r) }; Set-Acl $k $a"
exit /b 0

:pass
set /a PASSED+=1
echo PASS  %~1
exit /b 0

:fail
set /a FAILED+=1
echo FAIL  %~1
exit /b 0

:skip
set /a SKIPPED+=1
echo SKIP  %~1
exit /b 0
