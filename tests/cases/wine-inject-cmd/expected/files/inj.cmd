assoc .tijcmd=TavInj.Cmd
assoc .tijinf=TavInj.Inf
assoc .tijreg=TavInj.Reg
assoc .tijz=TavInj.Z
ftype TavInj.Cmd="%programfiles%\TavInj\inj.exe" /cmd "%%1"
reg add "HKCR\TavInj.Cmd" /ve /d "x" /f
reg add "HKCR\TavInj.Cmd\DefaultIcon" /ve /d "" /f
ftype TavInj.Inf="%programfiles%\TavInj\inj.exe" /inf "%%1"
reg add "HKCR\TavInj.Inf" /ve /d "x" /f
reg add "HKCR\TavInj.Inf\DefaultIcon" /ve /d "%systemdrive%\x.ico" /f
ftype TavInj.Reg="%programfiles%\TavInj\inj.exe" /reg "%%1"
reg add "HKCR\TavInj.Reg" /ve /d "note" /f
reg add "HKCR\TavInj.Reg\DefaultIcon" /ve /d "" /f
ftype TavInj.Z="%programfiles%\TavInj\inj.exe" /z "%%1"
reg add "HKCR\TavInj.Z" /ve /d "before" /f
reg add "HKCR\TavInj.Z\DefaultIcon" /ve /d "" /f
