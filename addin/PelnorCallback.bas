Attribute VB_Name = "PelnorCallback"
' Results that come later: a thread's result and a live stream's values. The add-in
' listens on a call-back port pair of its own (the port it names when it starts a
' call, where the server opens a connection per delivery, and that port + 1, where
' it keeps the stream connection), polled by a short timer while calls are pending,
' so the spreadsheet is never held. Each call is known by its reply "#THREAD_KEY"
' or "#STREAM_KEY"; it is bound to the cell that started it (the cell named when
' the cell called CacheSet, or the formula cell that shows the reply), and each new
' result recalculates that cell, whose routine then takes it from GetCacheResult.
' A stream whose cell no longer holds the formula that started it is stopped.
Option Explicit

Private Const CALLBACK_PORT_FIRST As Long = 20000
Private Const CALLBACK_PORT_SPAN As Long = 12000
Private Const TICK_SECONDS As Double = 0.25
' A call whose reply no formula cell shows after this many looks was made by a macro.
Private Const BIND_LOOKS As Long = 20

Private callbackPortNumber As Long
Private streamHandles() As Long
Private streamCount As Long
Private timerArmed As Boolean
Private timerFlip As Boolean
Private currentEntry As Long      ' the call whose cell the add-in is recalculating

Private cKey() As String          ' the reply: "#THREAD_KEY" or "#STREAM_KEY"
Private cCall() As String         ' "module~function"
Private cHost() As String
Private cPort() As Long
Private cCell() As Object         ' the cell showing the call, or Nothing while unbound
Private cFormula() As String      ' that cell's formula when it was bound
Private cText() As String         ' the newest result as received
Private cValue() As Variant       ' the newest result as the cell shows it
Private cDetail() As Variant      ' a connection's whole delivery (outbound values too)
Private cHasValue() As Boolean
Private cWaiting() As Boolean     ' a result the cell has not taken yet
Private cEnded() As Boolean
Private cStopped() As Boolean     ' stopped by the add-in: its cell no longer asks for it
Private cCellName() As String     ' "Sheet!$A$1" of the bound cell
Private cResults() As Long        ' results received
Private cLooks() As Long          ' looks for its cell so far
Private cCount As Long

' The call-back port named in START_FUNCTION; listening starts on first use. 0 when
' no free pair was found (plain calls still work).
Public Function CallbackPort() As Long
    Dim attempt As Long, p As Long
    If callbackPortNumber = 0 Then
        Randomize
        For attempt = 1 To 20
            p = CALLBACK_PORT_FIRST + 2 * Int(Rnd() * (CALLBACK_PORT_SPAN / 2))
            If SockListen(p) Then
                If SockListen(p + 1) Then callbackPortNumber = p: Exit For
            End If
        Next attempt
    End If
    CallbackPort = callbackPortNumber
End Function

' Remembers a call whose results come later.
Public Sub RegisterCall(ByVal reply As String, ByVal callName As String, ByVal host As String, ByVal port As Long)
    If FindCall(reply) > 0 Then Exit Sub
    cCount = cCount + 1
    ReDim Preserve cKey(1 To cCount)
    ReDim Preserve cCall(1 To cCount)
    ReDim Preserve cHost(1 To cCount)
    ReDim Preserve cPort(1 To cCount)
    ReDim Preserve cCell(1 To cCount)
    ReDim Preserve cFormula(1 To cCount)
    ReDim Preserve cText(1 To cCount)
    ReDim Preserve cValue(1 To cCount)
    ReDim Preserve cDetail(1 To cCount)
    ReDim Preserve cHasValue(1 To cCount)
    ReDim Preserve cWaiting(1 To cCount)
    ReDim Preserve cEnded(1 To cCount)
    ReDim Preserve cStopped(1 To cCount)
    ReDim Preserve cCellName(1 To cCount)
    ReDim Preserve cResults(1 To cCount)
    ReDim Preserve cLooks(1 To cCount)
    cKey(cCount) = reply
    cCall(cCount) = callName
    cHost(cCount) = host
    cPort(cCount) = port
    Set cCell(cCount) = Nothing
    cFormula(cCount) = ""
    cHasValue(cCount) = False
    cWaiting(cCount) = False
    cEnded(cCount) = False
    cStopped(cCount) = False
    cCellName(cCount) = ""
    cResults(cCount) = 0
    cLooks(cCount) = 0
    ArmTimer
End Sub

Private Function FindCall(ByVal reply As String) As Long
    Dim e As Long
    FindCall = 0
    For e = 1 To cCount
        If cKey(e) = reply Then FindCall = e: Exit Function
    Next e
End Function

' ---- The calling cell ----

' The call of the cell being calculated: the one the add-in is recalculating, or
' the calling cell's own (Excel names it; LibreOffice does not).
Private Function CallerEntry() As Long
    Dim caller As Object, e As Long
    CallerEntry = currentEntry
    If currentEntry > 0 Then Exit Function
    On Error GoTo NoCaller
    If TypeName(Application.Caller) <> "Range" Then Exit Function
    Set caller = Application.Caller
    For e = cCount To 1 Step -1
        If Not cCell(e) Is Nothing Then
            If SameCell(cCell(e), caller) And cFormula(e) = caller.Formula Then CallerEntry = e: Exit Function
        End If
    Next e
NoCaller:
End Function

Private Function SameCell(a As Object, b As Object) As Boolean
    SameCell = (a.Worksheet.Name = b.Worksheet.Name And a.Address = b.Address)
End Function

Public Function CachedResultForCaller() As Variant
    Dim e As Long
    CachedResultForCaller = ""
    e = CallerEntry()
    If e = 0 Then Exit Function
    If Not cHasValue(e) Then Exit Function
    cWaiting(e) = False
    CachedResultForCaller = cValue(e)
End Function

Public Function WaitingResultForCaller() As Boolean
    Dim e As Long
    e = CallerEntry()
    WaitingResultForCaller = False
    If e > 0 Then WaitingResultForCaller = cWaiting(e)
End Function

Public Function TakeWaitingResultForCaller(ByRef text As String) As Boolean
    Dim e As Long
    TakeWaitingResultForCaller = False
    e = CallerEntry()
    If e = 0 Then Exit Function
    If Not cWaiting(e) Then Exit Function
    cWaiting(e) = False
    text = cText(e)
    TakeWaitingResultForCaller = True
End Function

' CacheSet: Excel names the calling cell of a call just started.
Public Sub BindCallToCaller(ByVal reply As String)
    Dim e As Long
    e = FindCall(reply)
    If e = 0 Then Exit Sub
    On Error GoTo NoCaller
    If TypeName(Application.Caller) <> "Range" Then Exit Sub
    BindTo e, Application.Caller
NoCaller:
End Sub

' The result of a call for a macro, by its reply or by the text a call returns to
' VBA code ("#THREAD_KEY|host|port|unpacker"): the newest value; Empty until one
' has come.
Public Function VelmorResult(ByVal reply As String) As Variant
    Dim e As Long
    VelmorResult = Empty
    e = FindCall(ReplyOf(reply))
    If e > 0 Then
        If cHasValue(e) Then VelmorResult = cValue(e)
    End If
End Function

' A delivery on a connection of its own as the module's rec_ routine reads it: the
' value, then each outbound argument's name and value. Empty until one has come.
Public Function VelmorDelivery(ByVal reply As String) As Variant
    Dim e As Long
    VelmorDelivery = Empty
    e = FindCall(ReplyOf(reply))
    If e > 0 Then VelmorDelivery = cDetail(e)
End Function

Private Function ReplyOf(ByVal text As String) As String
    If InStr(1, text, "|") > 0 Then text = Left(text, InStr(1, text, "|") - 1)
    ReplyOf = text
End Function

' ---- The timer ----

Private Sub ArmTimer()
    Dim routine As String
    If timerArmed Then Exit Sub
    timerArmed = True
    ' LibreOffice fires a name re-armed inside its own call only once: alternate two
    timerFlip = Not timerFlip
    If timerFlip Then routine = "PelnorTick" Else routine = "PelnorTock"
    If RunningInLibreOffice() Then
        routine = "VBAProject.PelnorCallback." & routine
    Else
        routine = "'" & ThisWorkbook.Name & "'!" & routine
    End If
    Application.OnTime Now + TICK_SECONDS / 86400#, routine
End Sub

Public Sub PelnorTick()
    Poll
End Sub

Public Sub PelnorTock()
    Poll
End Sub

' One look at the call-back connections, then the cells.
Public Sub Poll()
    timerArmed = False
    On Error Resume Next
    AcceptDeliveries
    ReadStreams
    BindUnboundCalls
    ShowNewResults
    On Error GoTo 0
    If CallsPending() Then ArmTimer
End Sub

Private Function CallsPending() As Boolean
    Dim e As Long
    CallsPending = False
    For e = 1 To cCount
        If Not cEnded(e) Then CallsPending = True: Exit Function
        If cWaiting(e) And Not cCell(e) Is Nothing Then CallsPending = True: Exit Function
    Next e
End Function

' ---- Call-back connections ----

Private Sub AcceptDeliveries()
    Dim s As Long
    If callbackPortNumber = 0 Then Exit Sub
    Do
        s = SockAccept(callbackPortNumber)
        If s = 0 Then Exit Do
        TakeDelivery AdoptConnection(s)
    Loop
    Do
        s = SockAccept(callbackPortNumber + 1)
        If s = 0 Then Exit Do
        streamCount = streamCount + 1
        ReDim Preserve streamHandles(1 To streamCount)
        streamHandles(streamCount) = AdoptConnection(s)
    Loop
End Sub

' A connection per delivery: "#THREAD_KEY~1" or "#STREAM_KEY~1", then the outbound
' values and the result, which the workbook's rec_FUNCTION reads; "~-1" ends a stream.
Private Sub TakeDelivery(ByVal h As Long)
    Dim first As String, reply As String, marker As String, e As Long, result As Variant
    If Not ReceiveLine(h, first, READ_TIMEOUT_MS) Then CloseConnection h: Exit Sub
    If InStr(1, first, "~") = 0 Then CloseConnection h: Exit Sub
    reply = Left(first, InStr(1, first, "~") - 1)
    marker = Mid(first, InStr(1, first, "~") + 1)
    SendLine h, ACK_LINE
    e = FindCall(reply)
    If e = 0 Then CloseConnection h: Exit Sub
    If marker = "-1" Then
        cEnded(e) = True
        CloseConnection h
        Exit Sub
    End If
    result = RunUnpacker(e, h)
    If IsArray(result) Then
        cResults(e) = cResults(e) + 1
        cDetail(e) = result
        cValue(e) = result(0)
        cText(e) = ""
        cHasValue(e) = True
        cWaiting(e) = True
    End If
    If Left(reply, 8) = "#THREAD_" Then
        cEnded(e) = True
        SendLine h, "__CLOSE__"   ' the line a thread's delivery waits for
    End If
    CloseConnection h
End Sub

' Runs the workbook's rec_FUNCTION on the delivery connection.
Private Function RunUnpacker(ByVal e As Long, ByVal h As Long) As Variant
    Dim routine As String, wb As Object
    routine = "rec_" & Mid(cCall(e), InStr(1, cCall(e), "~") + 1)
    RunUnpacker = Empty
    On Error Resume Next
    If RunningInLibreOffice() Then
        RunUnpacker = RunLibreOfficeRoutine(routine, h)
    Else
        For Each wb In Application.Workbooks
            Err.Clear
            RunUnpacker = Application.Run("'" & wb.Name & "'!" & routine, h)
            If Err.Number = 0 Then Exit For
        Next wb
    End If
End Function

' The stream connection: "#THREAD_KEY=VALUE", "#STREAM_KEY=VALUE", "#STREAM_KEY"
' (the stream ended) and "#PING", never acknowledged.
Private Sub ReadStreams()
    Dim i As Long, line As String
    For i = 1 To streamCount
        If streamHandles(i) > 0 Then
            Do While ReceiveLine(streamHandles(i), line, 0)
                TakeStreamLine line
            Loop
            If ConnectionEnded(streamHandles(i)) Then
                CloseConnection streamHandles(i)
                streamHandles(i) = 0
            End If
        End If
    Next i
End Sub

Private Sub TakeStreamLine(ByVal line As String)
    Dim equals As Long, e As Long
    If line = "#PING" Then Exit Sub
    equals = InStr(1, line, "=")
    If equals = 0 Then
        e = FindCall(line)
        If e > 0 Then cEnded(e) = True
        Exit Sub
    End If
    e = FindCall(Left(line, equals - 1))
    If e = 0 Then Exit Sub
    cResults(e) = cResults(e) + 1
    If cStopped(e) Then Exit Sub
    cText(e) = Mid(line, equals + 1)
    cValue(e) = TextValue(cText(e))
    cHasValue(e) = True
    cWaiting(e) = True
    If Left(line, 8) = "#THREAD_" Then cEnded(e) = True
End Sub

' ---- Cells ----

' Binds each call not yet bound to the formula cell that shows its reply.
Private Sub BindUnboundCalls()
    Dim e As Long, unbound As Boolean, wb As Object, ws As Object, cell As Object, shown As Variant
    For e = 1 To cCount
        If cCell(e) Is Nothing And cLooks(e) < BIND_LOOKS And Not cStopped(e) Then
            cLooks(e) = cLooks(e) + 1
            unbound = True
        End If
    Next e
    If Not unbound Then Exit Sub
    For Each wb In Application.Workbooks
        For Each ws In wb.Worksheets
            For Each cell In ws.UsedRange.Cells
                If cell.HasFormula Then
                    shown = cell.Value
                    If VarType(shown) = vbString Then
                        If Left(shown, 1) = "#" Then BindCell cell, CStr(shown)
                    End If
                End If
            Next cell
        Next ws
    Next wb
End Sub

Private Sub BindCell(cell As Object, ByVal shown As String)
    Dim e As Long
    For e = 1 To cCount
        If cCell(e) Is Nothing And cLooks(e) <= BIND_LOOKS Then
            If shown = cKey(e) Or Left(shown, Len(cKey(e)) + 1) = cKey(e) & "|" Then
                BindTo e, cell
                Exit Sub
            End If
        End If
    Next e
End Sub

Private Sub BindTo(ByVal e As Long, cell As Object)
    Set cCell(e) = cell
    cFormula(e) = cell.Formula
    cCellName(e) = cell.Worksheet.Name & "!" & cell.Address
End Sub

' Recalculates each bound cell that has a new result; stops the stream of a cell
' whose formula is gone.
Private Sub ShowNewResults()
    Dim e As Long, shown As Variant
    For e = 1 To cCount
        If cWaiting(e) And Not cCell(e) Is Nothing Then
            If cCell(e).Formula <> cFormula(e) Then
                ForgetCall e
            Else
                currentEntry = e
                cCell(e).Formula = cFormula(e)
                shown = cCell(e).Value   ' calculates it now, while currentEntry names it
                currentEntry = 0
            End If
        End If
    Next e
End Sub

' The cell no longer asks for the call: a running stream is stopped.
Private Sub ForgetCall(ByVal e As Long)
    Dim h As Long, reply As String
    cWaiting(e) = False
    If Left(cKey(e), 8) = "#STREAM_" And Not cEnded(e) Then
        h = OpenConnection(cHost(e), cPort(e))
        If h > 0 Then
            If SendLine(h, "stop_thread~" & Mid(cKey(e), 9)) Then
                If ReceiveLine(h, reply, CONNECT_TIMEOUT_MS) Then SendLine h, "__CLOSE__"
            End If
            CloseConnection h
        End If
    End If
    cEnded(e) = True
    cStopped(e) = True
    Set cCell(e) = Nothing
End Sub

' How the newest call of a cell ("Sheet!$A$1") stands: "results=N ended=0|1
' stopped=0|1", or "" when the cell started none. For the curious and the tests.
Public Function VelmorCallStatus(ByVal cellName As String) As String
    Dim e As Long
    VelmorCallStatus = ""
    For e = cCount To 1 Step -1
        If cCellName(e) = cellName Then
            VelmorCallStatus = "results=" & cResults(e) & " ended=" & Abs(CInt(cEnded(e))) & _
                " stopped=" & Abs(CInt(cStopped(e)))
            Exit Function
        End If
    Next e
End Function
