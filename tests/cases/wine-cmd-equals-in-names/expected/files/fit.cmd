assoc .tv=eq=TavFit=Equals
ftype TavFit=Equals="%programfiles%\TavFit\fit.exe" /equals "%%1"
reg add "HKCR\TavFit=Equals" /ve /d "Equals sign in the names" /f
reg add "HKCR\TavFit=Equals\DefaultIcon" /ve /d "" /f
