ftype Other="D:\x.exe" app.exe
reg add "HKCR\Other" /ve /d "" /f
reg add "HKCR\Other\DefaultIcon" /ve /d "" /f
