@echo off
rem Runs the monitor's test programs from this folder and leaves the machine as it found it (see on-windows.md).
rem Start it as administrator: it installs the stand-in agent and terminate service where the monitor looks.
setlocal
set kit="%~dp0kit.exe"
%kit% begin
if errorlevel 1 exit /b 2
rem The test programs copy stand-ins into their temporary folder: this one, not the user's.
set TEMP=%~dp0temp
set TMP=%~dp0temp
if not exist "%TEMP%" mkdir "%TEMP%"
set passed=0
set failed=0
cd /d "%~dp0"
rem Ten minutes a program, beyond every wait of its own: one that hangs is ended and counts as failed.
for %%t in (*_test.exe) do call :run %%~nt
%kit% end
if %passed%%failed%==00 echo No test program beside run-suite.cmd.& exit /b 1
echo %passed% passed, %failed% failed
if not %failed%==0 exit /b 1
exit /b 0

:run
echo ===== %1
%kit% run 600 "%~dp0%1.exe"
if errorlevel 1 (
  set /a failed+=1
  echo ===== %1: FAILED
) else (
  set /a passed+=1
  echo ===== %1: passed
)
exit /b 0
