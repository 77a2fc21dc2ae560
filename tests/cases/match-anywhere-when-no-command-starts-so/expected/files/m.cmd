ftype Bare=%programfiles%\app\APP.EXE %%1
reg add "HKCR\Bare" /ve /d "" /f
reg add "HKCR\Bare\DefaultIcon" /ve /d "" /f
ftype Launcher=%systemdrive%\Run.exe "%programfiles%\App\app.exe" %%1
reg add "HKCR\Launcher" /ve /d "" /f
reg add "HKCR\Launcher\DefaultIcon" /ve /d "" /f
ftype Other="D:\x.exe" app.exe
reg add "HKCR\Other" /ve /d "" /f
reg add "HKCR\Other\DefaultIcon" /ve /d "" /f
ftype Quoted="%programfiles%\App\app.exe" "%%1"
reg add "HKCR\Quoted" /ve /d "" /f
reg add "HKCR\Quoted\DefaultIcon" /ve /d "" /f
