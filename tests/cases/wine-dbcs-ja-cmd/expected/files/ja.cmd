assoc .ポ表=ソフト.表
ftype ソフト.表="%programfiles%\ソフト\表.exe" /ポ "%%1" 予\
reg add "HKCR\ソフト.表" /ve /d "表示ソフト|ポ ^ソ& \"能\" 100%%" /f
reg add "HKCR\ソフト.表\DefaultIcon" /ve /d "%programfiles%\ソフト\表.exe,0" /f
