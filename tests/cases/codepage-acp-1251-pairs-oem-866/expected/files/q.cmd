assoc .qvl=Quarvel.Viewer
ftype Quarvel.Viewer=%systemdrive%\Q\qv.exe "%%1"
reg add "HKCR\Quarvel.Viewer" /ve /d "Просмотр Ж" /f
reg add "HKCR\Quarvel.Viewer\DefaultIcon" /ve /d "" /f
