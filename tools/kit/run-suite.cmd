@echo off
rem Runs the monitor's test programs from this folder and leaves the machine as it found it (see on-windows.md).
rem Start it as administrator: it installs the stand-in agent and terminate service where the monitor looks.
rem kit.exe writes everything to kit-results-YYYYMMDD-HHMMSS.txt beside it. Exit code: 0 no program failed,
rem 1 one failed or something was left, 2 refused. Started with any argument (/unattended) it waits for no key.
setlocal
"%~dp0kit.exe" suite
set code=%errorlevel%
if "%~1"=="" pause
exit /b %code%
