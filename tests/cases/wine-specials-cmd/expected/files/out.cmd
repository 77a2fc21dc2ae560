assoc .tv1=TavTest.Plain
assoc .tv2=TavTest.Plain
assoc .TV3=TavTest.Plain
assoc .tvb=TavTest.Backslash
assoc .tvdot=TavTest.Plain
assoc .tve=TavTest.Empty
assoc .tvs=TavTest.Specials
assoc .tvx=TavTest.Expand
assoc .tvÇ=TavTest.Ansi
ftype TavTest.Ansi="%programfiles%\TavTest\tav.exe" /lang=franáais "%%1"
reg add "HKCR\TavTest.Ansi" /ve /d "CafÇ öbersicht § · ´ ò" /f
reg add "HKCR\TavTest.Ansi\DefaultIcon" /ve /d "%programfiles%\TavTest\GrÅ·e.ico" /f
ftype TavTest.Backslash="%programfiles%\TavTest\tav.exe" /out="%systemdrive%\Out\" "%%1" \
reg add "HKCR\TavTest.Backslash" /ve /d "Folder C:\Data\ and say \\\"hi\\\" \\\\\" end\\" /f
reg add "HKCR\TavTest.Backslash\DefaultIcon" /ve /d "\"%programfiles%\TavTest\tav.exe\",-2" /f
ftype TavTest.Empty="%programfiles%\TavTest\tav.exe" /empty "%%1"
reg add "HKCR\TavTest.Empty" /ve /d "" /f
reg add "HKCR\TavTest.Empty\DefaultIcon" /ve /d "" /f
ftype TavTest.EmptyValues="%programfiles%\TavTest\tav.exe" /emptyvalues
reg add "HKCR\TavTest.EmptyValues" /ve /d "" /f
reg add "HKCR\TavTest.EmptyValues\DefaultIcon" /ve /d "" /f
ftype TavTest.Expand=%programfiles%\TavTest\tav.exe /expand "%%1"
reg add "HKCR\TavTest.Expand" /ve /d "Expandable values" /f
reg add "HKCR\TavTest.Expand\DefaultIcon" /ve /d "%systemroot%\system32\shell32.dll,-152" /f
ftype TavTest.Plain="%programfiles%\TavTest\tav.exe" "%%1"
reg add "HKCR\TavTest.Plain" /ve /d "Tav plain document" /f
reg add "HKCR\TavTest.Plain\DefaultIcon" /ve /d "\"%programfiles%\TavTest\tav.exe\",1" /f
ftype TavTest.Specials="%programfiles%\TavTest\tav.exe" /m "%%1" ^& echo^|more ^<in ^>out ^^x 50%% %%PATH%% "%%~1" ^^
reg add "HKCR\TavTest.Specials" /ve /d "100%% \"quoted\" & | < > ^ %%PATH%% 5\" floppy ^& ^<more^>" /f
reg add "HKCR\TavTest.Specials\DefaultIcon" /ve /d "%programfiles%\TavTest\icons\\" /f
