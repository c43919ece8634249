@echo off
rem install: registers the KVDNotification logon-control package on this endpoint.
rem Usage: install.cmd [endpoint bin dir] [endpoint cache dir] [endpoint data dir]
rem The five binaries are taken from the folder of this script.
setlocal
set KVD_HOME=%~dp0
if "%KVD_HOME:~-1%"=="\" set KVD_HOME=%KVD_HOME:~0,-1%
set XEP_BIN=%~1
set XEP_CACHE=%~2
set XEP_DAT=%~3
if "%XEP_BIN%"=="" set XEP_BIN=%KVD_HOME%\endpoint\bin
if "%XEP_CACHE%"=="" set XEP_CACHE=%KVD_HOME%\endpoint\cache
if "%XEP_DAT%"=="" set XEP_DAT=%KVD_HOME%\endpoint\dat
set MAIN=HKLM\Software\Orvane\KVDNotification
set POPCTL=%MAIN%\popctl
set UPCALL=%MAIN%\upcall
set NOTIFY=HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon\Notify\KVDNotification
set RUN=HKLM\Software\Microsoft\Windows\CurrentVersion\Run

echo install: creating %MAIN% and its subkeys popctl and upcall
reg add "%MAIN%" /f >nul
if errorlevel 1 goto failed
reg add "%POPCTL%" /f >nul
if errorlevel 1 goto failed
reg add "%UPCALL%" /f >nul
if errorlevel 1 goto failed

echo install: writing every setting that is not set yet with its default
rem An upgrade or a repair keeps what the administrator set; the paths of
rem the installed programs and the endpoint folders are always written.
call :setting_dword "%MAIN%" IsEnabled 1
call :setting_dword "%MAIN%" TraceLevel 0
call :setting_string "%MAIN%" TracePath "%SystemRoot%\KVDNotification.log"
call :setting_dword "%MAIN%" DenyPopupEnabled 1
call :setting_dword "%MAIN%" PopUpTimeout 0
call :setting_string "%MAIN%" LoginDeniedTitle "Palvento Notification Message"
call :setting_string "%MAIN%" LoginDeniedMsg "The login is temorarly disabled to allow a distribution"
call :setting_string "%MAIN%" LoginDeniedMsgOnPauseError "The login is temorarly disabled to allow a distribution"
call :setting_dword "%MAIN%" DenyLogonOnPauseError 1
call :setting_dword "%MAIN%" SwitchPopupDesktop 1
call :setting_dword "%MAIN%" LogoffType 0
call :setting_dword "%MAIN%" DefaultShutdownAllowdBeforeReset 20
call :string "%MAIN%" CompletionProgramPath "%KVD_HOME%\donemsg.exe"
call :setting_dword "%MAIN%" CompletionPopupEnabled 0
call :setting_dword "%MAIN%" ShutdownPopupEnabled 0
call :setting_string "%MAIN%" CompletionPopupTitle "KVDNotification"
call :setting_string "%MAIN%" CompletionPopupMsg "The distribution is completed\nNow you can logon"
call :setting_string "%MAIN%" ShutdownPopupMsg "The machine will shutdown when the distribution completes"
call :setting_string "%POPCTL%" Title "Palvento Notification Message"
call :setting_string "%POPCTL%" Message "A 'distribution plan' is currently running, please choose one option"
call :setting_dword "%POPCTL%" Timeout 0
call :setting_string "%POPCTL%" LogoffString "Logoff"
call :setting_string "%POPCTL%" LogoffShutdownString "Shutdown when distribution completes"
call :setting_string "%POPCTL%" RestartString "Restart"
call :setting_dword "%POPCTL%" DefaultAction 2
call :setting_dword "%POPCTL%" LeftLogonPopupEnabled 0
call :setting_string "%POPCTL%" LeftLogonPopupMsg "The current distribution has been paused\nYour left logon are: $(LEFT_LOGON)"
call :string "%UPCALL%" UpcallProgram "%KVD_HOME%\jobupcall.exe"
call :setting_dword "%UPCALL%" UpcallTimeout 120
call :string "%UPCALL%" XEP_BINDIR "%XEP_BIN%"
call :string "%UPCALL%" XEP_CACHEDIR "%XEP_CACHE%"
call :string "%UPCALL%" XEP_DATDIR "%XEP_DAT%"

echo install: registering the logon notification package
reg add "%NOTIFY%" /v DLLName /t REG_EXPAND_SZ /d "%KVD_HOME%\KVDnotificationLibrary.dll" /f >nul
if errorlevel 1 goto failed
call :string "%NOTIFY%" Logon KVDEventLogon
call :string "%NOTIFY%" Logoff KVDEventLogoff
call :string "%NOTIFY%" StartUp KVDEventStartUp
call :string "%NOTIFY%" Shutdown KVDEventShutdown
call :dword "%NOTIFY%" Asynchronous 1
call :dword "%NOTIFY%" Impersonate 0

echo install: starting popctl in every logon
call :string "%RUN%" KVDpopctl "%KVD_HOME%\popctl.exe"
echo install: done
exit /b 0

:setting_dword
reg query %1 /v %2 >nul 2>&1
if not errorlevel 1 exit /b 0
goto dword

:setting_string
reg query %1 /v %2 >nul 2>&1
if not errorlevel 1 exit /b 0
goto string

:dword
reg add %1 /v %2 /t REG_DWORD /d %3 /f >nul
if errorlevel 1 goto failed
exit /b 0

:string
reg add %1 /v %2 /t REG_SZ /d %3 /f >nul
if errorlevel 1 goto failed
exit /b 0

:failed
echo install: failed, run it as an administrator 1>&2
exit 1
