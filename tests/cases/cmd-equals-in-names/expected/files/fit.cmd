reg add "HKCR\.tv=eq" /ve /d "TavFit=Equals" /f
reg add "HKCR\TavFit=Equals\shell\open\command" /ve /d "\"%programfiles%\TavFit\fit.exe\" /equals \"%%1\"" /f
reg add "HKCR\TavFit=Equals" /ve /d "Equals sign in the names" /f
reg add "HKCR\TavFit=Equals\DefaultIcon" /ve /d "" /f
