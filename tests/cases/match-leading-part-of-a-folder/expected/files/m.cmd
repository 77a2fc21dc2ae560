ftype Bare=%programfiles%\app\APP.EXE %%1
reg add "HKCR\Bare" /ve /d "" /f
reg add "HKCR\Bare\DefaultIcon" /ve /d "" /f
ftype Quoted="%programfiles%\App\app.exe" "%%1"
reg add "HKCR\Quoted" /ve /d "" /f
reg add "HKCR\Quoted\DefaultIcon" /ve /d "" /f
