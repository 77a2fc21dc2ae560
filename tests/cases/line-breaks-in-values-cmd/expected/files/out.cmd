assoc .inj=Inj.Type
ftype Inj.Eof=%systemdrive%\App\app.exe /eof
reg add "HKCR\Inj.Eof" /ve /d "before" /f
reg add "HKCR\Inj.Eof\DefaultIcon" /ve /d "icon" /f
ftype Inj.Type=%systemdrive%\App\app.exe "%%1"
reg add "HKCR\Inj.Type" /ve /d "x" /f
reg add "HKCR\Inj.Type\DefaultIcon" /ve /d "note" /f
