@echo off
rem uninstall: removes what install.cmd added, and nothing else.
setlocal
echo uninstall: removing the settings and state of KVDNotification
reg delete "HKLM\Software\Orvane\KVDNotification" /f >nul 2>&1
echo uninstall: unregistering the logon notification package
reg delete "HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon\Notify\KVDNotification" /f >nul 2>&1
echo uninstall: no longer starting popctl at logon
reg delete "HKLM\Software\Microsoft\Windows\CurrentVersion\Run" /v KVDpopctl /f >nul 2>&1
echo uninstall: removing the programs
rd /s /q "%ProgramFiles%\Orvane KVDNotification" >nul 2>&1
echo uninstall: done
exit /b 0
