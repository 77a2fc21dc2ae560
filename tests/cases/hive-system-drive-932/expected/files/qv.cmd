assoc .qvj=クォーベル.文書
assoc .文書=クォーベル.文書
ftype クォーベル.文書="%programfiles%\Quarvel\表計算\qv.exe" "%%1"
reg add "HKCR\クォーベル.文書" /ve /d "クォーベル文書" /f
reg add "HKCR\クォーベル.文書\DefaultIcon" /ve /d "%systemroot%\system32\表.dll,2" /f
