Attribute VB_Name = "Pelnor"
' The client add-in "Pelnor.xla": the routines that generated Velmor modules call
' through Application.Run, and the client side of a call's conversation with
' Velmord. A connection handle is an index into this module's table; a handle may
' also hold one line in memory (GetCommSocket), read like any other. Failures
' return 0 or raise an error, which a generated routine turns into "#LIB_ERROR";
' every connect and read has a time limit, so no failure holds the spreadsheet.
Option Explicit

' What this add-in sends where the server reads a line without looking at it.
Public Const ACK_LINE As String = "__OK__"
Public Const END_OF_ARGUMENTS_LINE As String = "__END_OF_ARGUMENTS__"
Public Const CONNECT_TIMEOUT_MS As Long = 5000
' A plain call's reply waits for the function to finish on the server.
Public Const READ_TIMEOUT_MS As Long = 60000
Public Const VELMOR_ERROR As Long = 30020   ' a plain number: LibreOffice takes no expression of vbObjectError here

' Why the last call failed, for a user who wonders what "#LIB_ERROR" hides.
Public VelmorLastError As String

Private connSocket() As Long     ' socket layer handle; 0 for a line held in memory
Private connPending() As String  ' received text not yet taken as lines
Private connClosed() As Boolean
Private connInUse() As Boolean
Private connHost() As String
Private connPort() As Long
Private connCall() As String     ' "module~function" of the call started on it
Private connCount As Long

' ---- The routines of the generated modules ----

Public Function OpenConnection(host As Variant, port As Variant) As Long
    Dim s As Long
    s = SockOpen(CStr(host), CLng(port), CONNECT_TIMEOUT_MS)
    If s = 0 Then OpenConnection = 0: Exit Function
    OpenConnection = NewHandle(s, "")
    connHost(OpenConnection) = CStr(host)
    connPort(OpenConnection) = CLng(port)
End Function

' 1: the call proceeds; 2: the module is out of date; 0: failure.
Public Function Function_start(handle As Variant, moduleName As Variant, functionName As Variant, stamp As Variant) As Integer
    Dim reply As String
    Function_start = 0
    If Not ValidHandle(handle) Then Exit Function
    connCall(handle) = CStr(moduleName) & "~" & CStr(functionName)
    If Not SendLine(handle, "START_FUNCTION~" & moduleName & "~" & functionName & "~" & _
            CStr(CallbackPort()) & "~" & stamp) Then Exit Function
    If Not ReceiveLine(handle, reply) Then Exit Function
    If reply = "__OK__" Then
        Function_start = 1
    ElseIf reply = "_OUT_OF_DATE_" Then
        Function_start = 2
    End If
End Function

' Sends one value, or an array (a range, or any value when dims is 1 or more) as
' its element count followed by the elements. 1 on success, 0 on failure.
Public Function Pack_And_Send(handle As Variant, value As Variant, Optional dims As Variant) As Integer
    Dim d As Long, items As Variant, n As Long, i As Long
    Pack_And_Send = 0
    If Not ValidHandle(handle) Then Exit Function
    d = 0
    ' LibreOffice's Application.Run passes an argument left out as Empty
    If Not IsMissing(dims) Then
        If IsNumeric(dims) Then d = CLng(dims)
    End If
    If d = 0 And Not IsObject(value) And Not IsArray(value) Then
        If SendUnit(handle, value) Then Pack_And_Send = 1
        Exit Function
    End If
    items = Elements(value)
    n = ElementCount(items)
    If Not SendUnit(handle, n) Then Exit Function
    For i = 0 To n - 1
        If Not SendUnit(handle, items(i)) Then Exit Function
    Next i
    Pack_And_Send = 1
End Function

Public Function DoneWithArguments(handle As Variant) As Integer
    DoneWithArguments = 0
    If Not ValidHandle(handle) Then Exit Function
    If SendLine(handle, END_OF_ARGUMENTS_LINE) Then DoneWithArguments = 1
End Function

' The next value, as a number when its text is one, acknowledged. (The module
' passes a second argument, 0, when it reads a line held in memory, which takes
' no acknowledgement.) A thread's or stream's reply is remembered, so that its
' results can find their way back.
Public Function Receive_And_Unpack(handle As Variant, Optional unused As Variant) As Variant
    Dim text As String
    text = ReceiveUnit(handle, True)
    If IsCallReply(text) Then RegisterCall text, connCall(handle), connHost(handle), connPort(handle)
    Receive_And_Unpack = TextValue(text)
End Function

' The next value of a basic type; with dims of 1 or more an array: its count, then
' its elements (a count of -1: index and element pairs, ended by the index -1),
' each element an array itself while dims is above 1 (a matrix: its rows).
Public Function Receive_And_Unpack_bdt(handle As Variant, typeText As Variant, dims As Variant) As Variant
    Receive_And_Unpack_bdt = ReceiveValue(handle, CStr(typeText), CLng(dims))
End Function

Private Function ReceiveValue(handle As Variant, ByVal typeText As String, ByVal dims As Long) As Variant
    Dim n As Long, i As Long, index As Long, result() As Variant
    If dims < 1 Then
        ReceiveValue = TypedValue(ReceiveUnit(handle, True), typeText)
        Exit Function
    End If
    n = CLng(NumberValue(ReceiveUnit(handle, True)))
    If n = -1 Then
        n = 0
        Do
            index = CLng(NumberValue(ReceiveUnit(handle, True)))
            If index < 0 Then Exit Do
            If index + 1 > n Then
                n = index + 1
                ReDim Preserve result(0 To n - 1)
            End If
            result(index) = ReceiveValue(handle, typeText, dims - 1)
        Loop
    ElseIf n < 0 Then
        Fail "a count of " & n & " from the server"
    ElseIf n > 0 Then
        ReDim result(0 To n - 1)
        For i = 0 To n - 1
            result(i) = ReceiveValue(handle, typeText, dims - 1)
        Next i
    End If
    If n = 0 Then ReceiveValue = Empty Else ReceiveValue = result
End Function

Public Sub CloseConnection(handle As Variant)
    If Not ValidHandle(handle) Then Exit Sub
    If connSocket(handle) <> 0 Then SockClose connSocket(handle)
    connSocket(handle) = 0
    connPending(handle) = ""
    connInUse(handle) = False
End Sub

Public Function GetCacheResult() As Variant
    GetCacheResult = CachedResultForCaller()
End Function

Public Function IsCacheReady() As Boolean
    IsCacheReady = WaitingResultForCaller()
End Function

Public Function GetCommSocket() As Long
    Dim text As String
    GetCommSocket = 0
    If TakeWaitingResultForCaller(text) Then GetCommSocket = NewHandle(0, text & Chr(0))
End Function

Public Sub CacheSet(serverResult As Variant, host As Variant, port As Variant)
    BindCallToCaller CStr(serverResult)
End Sub

' ---- Connections and lines ----

Private Function NewHandle(ByVal s As Long, ByVal pending As String) As Long
    Dim h As Long
    For h = 1 To connCount
        If Not connInUse(h) Then Exit For
    Next h
    If h > connCount Then
        connCount = connCount + 1
        ReDim Preserve connSocket(1 To connCount)
        ReDim Preserve connPending(1 To connCount)
        ReDim Preserve connClosed(1 To connCount)
        ReDim Preserve connInUse(1 To connCount)
        ReDim Preserve connHost(1 To connCount)
        ReDim Preserve connPort(1 To connCount)
        ReDim Preserve connCall(1 To connCount)
        h = connCount
    End If
    connSocket(h) = s
    connPending(h) = pending
    connClosed(h) = (s = 0)
    connInUse(h) = True
    connHost(h) = ""
    connPort(h) = 0
    connCall(h) = ""
    NewHandle = h
End Function

' A handle of an accepted call-back connection.
Public Function AdoptConnection(ByVal s As Long) As Long
    AdoptConnection = NewHandle(s, "")
End Function

Private Function ValidHandle(handle As Variant) As Boolean
    ValidHandle = False
    If IsNumeric(handle) Then
        If CLng(handle) >= 1 And CLng(handle) <= connCount Then ValidHandle = connInUse(CLng(handle))
    End If
End Function

' Sends one line; False when it cannot go, or cannot go whole: a NUL inside the
' text would end the line early and the rest would pass for the next value.
Public Function SendLine(ByVal handle As Long, ByVal text As String) As Boolean
    SendLine = False
    If Not ValidHandle(handle) Then Exit Function
    If InStr(1, text, Chr(0)) > 0 Then VelmorLastError = "a value holds the character 0": Exit Function
    If connSocket(handle) = 0 Then SendLine = True: Exit Function
    SendLine = SockSend(connSocket(handle), text & Chr(0))
End Function

' Takes the next NUL-ended line; waits at most timeoutMs for it (0: not at all).
' False when no whole line came; a line that ends by a closed connection is lost.
Public Function ReceiveLine(ByVal handle As Long, ByRef text As String, Optional ByVal timeoutMs As Long = READ_TIMEOUT_MS) As Boolean
    Dim cut As Long, chunk As String, closed As Boolean
    ReceiveLine = False
    If Not ValidHandle(handle) Then Exit Function
    Do
        cut = InStr(1, connPending(handle), Chr(0))
        If cut > 0 Then
            text = Left(connPending(handle), cut - 1)
            connPending(handle) = Mid(connPending(handle), cut + 1)
            ReceiveLine = True
            Exit Function
        End If
        If connClosed(handle) Then Exit Function
        chunk = SockRecv(connSocket(handle), timeoutMs, closed)
        If chunk = "" Then
            ' a time-out ends the conversation too: a late reply would answer the wrong question
            If closed Or timeoutMs > 0 Then connClosed(handle) = True
            Exit Function
        End If
        connPending(handle) = connPending(handle) & chunk
    Loop
End Function

' True when a whole line is waiting or the connection has ended; never waits.
Public Function ConnectionEnded(ByVal handle As Long) As Boolean
    ConnectionEnded = connClosed(handle) And InStr(1, connPending(handle), Chr(0)) = 0
End Function

' One value line of the server, acknowledged when ack is True; an error when none came.
Private Function ReceiveUnit(handle As Variant, ByVal ack As Boolean) As String
    Dim text As String
    If Not ValidHandle(handle) Then Fail "no connection (handle " & handle & ")"
    If Not ReceiveLine(CLng(handle), text) Then Fail "no reply from the server"
    If text = "#LIB_ERROR" Then Fail "the server could not serve the call"
    If ack Then
        If Not SendLine(CLng(handle), ACK_LINE) Then Fail "connection lost"
    End If
    ReceiveUnit = text
End Function

Private Sub Fail(ByVal reason As String)
    VelmorLastError = reason
    Err.Raise VELMOR_ERROR, "Pelnor", reason
End Sub

' Sends one value and takes the server's "__OK__".
Private Function SendUnit(ByVal handle As Long, value As Variant) As Boolean
    Dim reply As String
    SendUnit = False
    If Not SendLine(handle, ValueText(value)) Then Exit Function
    If Not ReceiveLine(handle, reply) Then Exit Function
    SendUnit = (reply = "__OK__")
End Function

' ---- Values ----

' The elements of a range (cell by cell, row by row) or of an array (index order),
' 0-based; a lone value is an array of one.
Private Function Elements(value As Variant) As Variant
    Dim result() As Variant, n As Long, cell As Variant, item As Variant
    n = 0
    If IsObject(value) Then
        For Each cell In value.Cells
            ReDim Preserve result(0 To n)
            result(n) = cell.Value
            n = n + 1
        Next cell
    ElseIf IsArray(value) Then
        If ArrayLength(value) > 0 Then
            For Each item In value
                ReDim Preserve result(0 To n)
                result(n) = item
                n = n + 1
            Next item
        End If
    ElseIf Not IsEmpty(value) Then
        ReDim result(0 To 0)
        result(0) = value
        n = 1
    End If
    If n = 0 Then Elements = Empty Else Elements = result
End Function

' The number of elements of an array that may be unallocated.
Private Function ArrayLength(arr As Variant) As Long
    ArrayLength = 0
    On Error GoTo Unallocated
    ArrayLength = UBound(arr) - LBound(arr) + 1
Unallocated:
End Function

Private Function ElementCount(items As Variant) As Long
    If IsArray(items) Then ElementCount = ArrayLength(items) Else ElementCount = 0
End Function

' The text of one value as the server reads it, whatever the user's locale.
Public Function ValueText(value As Variant) As String
    Select Case VarType(value)
        Case vbString
            ValueText = value
        Case vbBoolean
            If value Then ValueText = "1" Else ValueText = "0"
        Case vbInteger, vbLong, vbByte
            ValueText = Trim(Str(value))
        Case vbSingle, vbDouble, vbCurrency, vbDecimal, vbDate
            ValueText = NumberText(CDbl(value))
        Case Else
            ValueText = ""
    End Select
End Function

' A number as text that reads back to exactly the same Double. Str is free of the
' locale but keeps only 14 or 15 significant digits; when those do not read back,
' three more digits come from what they left over (an exact difference).
Public Function NumberText(ByVal x As Double) As String
    Dim s As String, digits As String, exponent As Long, k As Long, tryK As Variant, candidate As String
    If PlatformNumberText(x, s) Then NumberText = s: Exit Function
    s = ShortNumber(Trim(Str(x)))
    NumberText = s
    If x = 0 Or Val(s) = x Then Exit Function
    If Not SplitDigits(s, digits, exponent) Then Exit Function
    k = CLng((Abs(x) - Val(digits & "E" & exponent)) / (10# ^ (exponent - 3)))
    For Each tryK In Array(0, 1, -1, 2, -2)
        candidate = AddToDigits(digits & "000", k + tryK)
        If candidate <> "" Then
            candidate = candidate & "E" & (exponent - 3)
            If x < 0 Then candidate = "-" & candidate
            If Val(candidate) = x Then NumberText = candidate: Exit Function
        End If
    Next tryK
End Function

' Str writes ".5" and "-.5"; the server reads those, people read "0.5" better.
Private Function ShortNumber(ByVal s As String) As String
    If Left(s, 1) = "." Then s = "0" & s
    If Left(s, 2) = "-." Then s = "-0" & Mid(s, 2)
    ShortNumber = s
End Function

' Str's text of |x| as an integer of digits and the power of ten of its last digit.
Private Function SplitDigits(ByVal s As String, ByRef digits As String, ByRef exponent As Long) As Boolean
    Dim mantissa As String, e As Long, dot As Long
    If Left(s, 1) = "-" Then s = Mid(s, 2)
    e = InStr(1, UCase(s), "E")
    exponent = 0
    mantissa = s
    If e > 0 Then
        mantissa = Left(s, e - 1)
        exponent = CLng(Val(Mid(s, e + 1)))
    End If
    dot = InStr(1, mantissa, ".")
    If dot > 0 Then
        exponent = exponent - (Len(mantissa) - dot)
        mantissa = Left(mantissa, dot - 1) & Mid(mantissa, dot + 1)
    End If
    Do While Len(mantissa) > 1 And Left(mantissa, 1) = "0"
        mantissa = Mid(mantissa, 2)
    Loop
    digits = mantissa
    SplitDigits = (Len(digits) >= 1 And Len(digits) <= 16)
End Function

' A non-negative integer written in digits plus a small k, in digits; "" when
' the sum would need a carry or borrow beyond its last nine digits.
Private Function AddToDigits(ByVal digits As String, ByVal k As Long) As String
    Dim tail As Long, body As String
    AddToDigits = ""
    If Len(digits) < 10 Then Exit Function
    tail = CLng(Right(digits, 9)) + k
    If tail < 0 Or tail > 999999999 Then Exit Function
    body = Left(digits, Len(digits) - 9) & Right("00000000" & Trim(Str(tail)), 9)
    Do While Len(body) > 1 And Left(body, 1) = "0"
        body = Mid(body, 2)
    Loop
    AddToDigits = body
End Function

' True when the text is a number as the server writes them: a sign, digits with at
' most one decimal point, an exponent; whatever the user's locale.
Public Function IsNumberText(ByVal text As String) As Boolean
    Dim i As Long, c As String, digits As Long, dots As Long, exponents As Long, afterExponent As Boolean
    IsNumberText = False
    If text = "" Then Exit Function
    For i = 1 To Len(text)
        c = Mid(text, i, 1)
        If c >= "0" And c <= "9" Then
            digits = digits + 1
        ElseIf c = "." Then
            If dots > 0 Or exponents > 0 Then Exit Function
            dots = 1
        ElseIf c = "e" Or c = "E" Then
            If exponents > 0 Or digits = 0 Or i = Len(text) Then Exit Function
            exponents = 1
        ElseIf c = "+" Or c = "-" Then
            If i > 1 And LCase(Mid(text, i - 1, 1)) <> "e" Then Exit Function
            If i = Len(text) Then Exit Function
        Else
            Exit Function
        End If
    Next i
    IsNumberText = (digits > 0)
End Function

' Val reads the decimal point whatever the locale (CDbl would follow the locale).
Public Function NumberValue(ByVal text As String) As Double
    NumberValue = Val(Trim(text))
End Function

' A received value as a cell shows it: numbers as numbers, anything else as text.
Public Function TextValue(ByVal text As String) As Variant
    If IsNumberText(text) Then TextValue = NumberValue(text) Else TextValue = text
End Function

' A received value converted for its declared basic type.
Public Function TypedValue(ByVal text As String, ByVal typeText As String) As Variant
    Select Case LCase(Replace(typeText, " ", ""))
        Case "int", "long", "short"
            TypedValue = Fix(NumberValue(text))
        Case "float", "double"
            TypedValue = NumberValue(text)
        Case "char*", "qvtx_string", "string", "std::string"
            TypedValue = text
        Case Else
            TypedValue = TextValue(text)
    End Select
End Function

' "#THREAD_KEY" and "#STREAM_KEY", the replies that stand for results to come.
Public Function IsCallReply(ByVal text As String) As Boolean
    IsCallReply = (Left(text, 8) = "#THREAD_" Or Left(text, 8) = "#STREAM_") And InStr(1, text, "=") = 0 _
        And InStr(1, text, "~") = 0 And Len(text) > 8
End Function
