Attribute VB_Name = "PelnorSocket"
' The add-in's socket layer: connections that carry NUL-ended lines. Two
' implementations, chosen at run time: Windows sockets (module PelnorWinsock) in
' Excel, and in LibreOffice Calc the office's own connection services, driven by
' the workbook's Python script velmor_socket.py (Basic alone can neither wait on
' a socket with a time limit nor listen without blocking the office).
' Handles are the implementation's; 0 is never a handle.
' No Option Explicit here: Excel's compiler must accept ThisComponent, which only
' LibreOffice defines and only LibreOffice reaches.

Private onLibreOffice As Integer   ' 0 unknown, 1 yes, 2 no
Private scriptProvider As Object

' True inside LibreOffice, which calls itself "Microsoft Excel" to VBA code but
' defines ThisComponent (in Excel an undeclared, empty variable).
Public Function RunningInLibreOffice() As Boolean
    If onLibreOffice = 0 Then
        onLibreOffice = 2
        If IsObject(ThisComponent) Then onLibreOffice = 1
    End If
    RunningInLibreOffice = (onLibreOffice = 1)
End Function

' Connects to host:port within timeoutMs; the handle, or 0.
Public Function SockOpen(ByVal host As String, ByVal port As Long, ByVal timeoutMs As Long) As Long
    If RunningInLibreOffice() Then
        SockOpen = CLng(UnoScript("sock_open", Array(host, port, timeoutMs)))
    Else
        SockOpen = WsOpen(host, port, timeoutMs)
    End If
End Function

' Sends the text as it is (the caller adds each line's NUL); True when all went out.
Public Function SockSend(ByVal handle As Long, ByVal text As String) As Boolean
    If RunningInLibreOffice() Then
        SockSend = (CLng(UnoScript("sock_send", Array(handle, text))) = 1)
    Else
        SockSend = WsSend(handle, text)
    End If
End Function

' Received text (whole lines in LibreOffice, any bytes from Windows sockets),
' waiting at most timeoutMs (0: not at all); "" when nothing came, and then
' closed tells whether the connection has ended.
Public Function SockRecv(ByVal handle As Long, ByVal timeoutMs As Long, ByRef closed As Boolean) As String
    Dim reply As String
    closed = False
    If RunningInLibreOffice() Then
        reply = CStr(UnoScript("sock_recv", Array(handle, timeoutMs)))
        If Left(reply, 1) = "D" Then
            SockRecv = Mid(reply, 2)
        Else
            closed = (reply = "C")
            SockRecv = ""
        End If
    Else
        SockRecv = WsRecv(handle, timeoutMs, closed)
    End If
End Function

Public Sub SockClose(ByVal handle As Long)
    If handle = 0 Then Exit Sub
    If RunningInLibreOffice() Then
        UnoScript "sock_close", Array(handle)
    Else
        WsClose handle
    End If
End Sub

' Starts listening on the port of this machine; False when the port is taken.
Public Function SockListen(ByVal port As Long) As Boolean
    If RunningInLibreOffice() Then
        SockListen = (CLng(UnoScript("sock_listen", Array(port))) = 1)
    Else
        SockListen = WsListen(port)
    End If
End Function

' A connection that arrived on a listened port, or 0; never waits.
Public Function SockAccept(ByVal port As Long) As Long
    If RunningInLibreOffice() Then
        SockAccept = CLng(UnoScript("sock_accept", Array(port)))
    Else
        SockAccept = WsAccept(port)
    End If
End Function

' A number's shortest exact text where Basic cannot find it: LibreOffice's Basic
' compares doubles approximately. False in Excel, whose comparison is exact.
Public Function PlatformNumberText(ByVal x As Double, ByRef text As String) As Boolean
    PlatformNumberText = False
    If Not RunningInLibreOffice() Then Exit Function
    text = CStr(UnoScript("number_text", Array(x)))
    PlatformNumberText = True
End Function

' Runs a function of the workbook's velmor_socket.py.
Private Function UnoScript(ByVal name As String, ByVal args As Variant) As Variant
    Dim script As Object
    Dim outIndexes() As Variant
    Dim outValues() As Variant
    If scriptProvider Is Nothing Then Set scriptProvider = ThisComponent.getScriptProvider()
    Set script = scriptProvider.getScript("vnd.sun.star.script:velmor_socket.py$" & name & _
        "?language=Python&location=document")
    UnoScript = script.invoke(args, outIndexes, outValues)
End Function

' Runs a routine of the workbook's library "VBAProject" (the module that defines
' it) with one argument; LibreOffice's Application.Run needs the module's name.
Public Function RunLibreOfficeRoutine(ByVal routine As String, ByVal argument As Variant) As Variant
    Dim library As Object, moduleName As Variant, source As String
    RunLibreOfficeRoutine = Empty
    Set library = ThisComponent.BasicLibraries.getByName("VBAProject")
    For Each moduleName In library.getElementNames()
        source = LCase(library.getByName(moduleName))
        If InStr(1, source, "function " & LCase(routine) & "(") > 0 Or _
           InStr(1, source, "function " & LCase(routine) & " (") > 0 Then
            RunLibreOfficeRoutine = Application.Run("VBAProject." & moduleName & "." & routine, argument)
            Exit Function
        End If
    Next moduleName
End Function
