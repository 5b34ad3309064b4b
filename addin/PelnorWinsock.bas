Attribute VB_Name = "PelnorWinsock"
' Windows sockets for the add-in's socket layer (Excel 2010 and later, 32- and
' 64-bit: Declare PtrSafe with LongPtr sockets). Every socket is non-blocking, so
' that connecting, reading and accepting wait in short sleeps up to a time limit
' and Excel is never held by a silent peer. Handles are the SOCKET values.
Option Explicit

Private Const AF_INET As Long = 2
Private Const SOCK_STREAM As Long = 1
Private Const IPPROTO_TCP As Long = 6
Private Const INVALID_SOCKET As Long = -1
Private Const SOCKET_ERROR As Long = -1
Private Const FIONBIO As Long = &H8004667E
Private Const WSAEWOULDBLOCK As Long = 10035
Private Const WSAEALREADY As Long = 10037
Private Const WSAEINVAL As Long = 10022
Private Const WSAEISCONN As Long = 10056
Private Const POLL_MS As Long = 5

Private Type SOCKADDR_IN
    sin_family As Integer
    sin_port As Integer
    sin_addr As Long
    sin_zero(0 To 7) As Byte
End Type

Private Type WSADATA_BUFFER
    bytes(0 To 407) As Byte
End Type

Private Declare PtrSafe Function WSAStartup Lib "ws2_32.dll" (ByVal wVersionRequested As Integer, ByRef lpWSAData As WSADATA_BUFFER) As Long
Private Declare PtrSafe Function WSAGetLastError Lib "ws2_32.dll" () As Long
Private Declare PtrSafe Function ws_socket Lib "ws2_32.dll" Alias "socket" (ByVal af As Long, ByVal stype As Long, ByVal protocol As Long) As LongPtr
Private Declare PtrSafe Function ws_connect Lib "ws2_32.dll" Alias "connect" (ByVal s As LongPtr, ByRef name As SOCKADDR_IN, ByVal namelen As Long) As Long
Private Declare PtrSafe Function ws_bind Lib "ws2_32.dll" Alias "bind" (ByVal s As LongPtr, ByRef name As SOCKADDR_IN, ByVal namelen As Long) As Long
Private Declare PtrSafe Function ws_listen Lib "ws2_32.dll" Alias "listen" (ByVal s As LongPtr, ByVal backlog As Long) As Long
Private Declare PtrSafe Function ws_accept Lib "ws2_32.dll" Alias "accept" (ByVal s As LongPtr, ByVal addr As LongPtr, ByVal addrlen As LongPtr) As LongPtr
Private Declare PtrSafe Function ws_send Lib "ws2_32.dll" Alias "send" (ByVal s As LongPtr, ByRef buf As Byte, ByVal length As Long, ByVal flags As Long) As Long
Private Declare PtrSafe Function ws_recv Lib "ws2_32.dll" Alias "recv" (ByVal s As LongPtr, ByRef buf As Byte, ByVal length As Long, ByVal flags As Long) As Long
Private Declare PtrSafe Function ws_closesocket Lib "ws2_32.dll" Alias "closesocket" (ByVal s As LongPtr) As Long
Private Declare PtrSafe Function ws_ioctlsocket Lib "ws2_32.dll" Alias "ioctlsocket" (ByVal s As LongPtr, ByVal cmd As Long, ByRef argp As Long) As Long
Private Declare PtrSafe Function ws_htons Lib "ws2_32.dll" Alias "htons" (ByVal hostshort As Long) As Integer
Private Declare PtrSafe Function ws_inet_addr Lib "ws2_32.dll" Alias "inet_addr" (ByVal cp As String) As Long
Private Declare PtrSafe Function ws_gethostbyname Lib "ws2_32.dll" Alias "gethostbyname" (ByVal name As String) As LongPtr
Private Declare PtrSafe Sub ws_copy Lib "kernel32" Alias "RtlMoveMemory" (ByRef dest As Any, ByVal source As LongPtr, ByVal length As LongPtr)
Private Declare PtrSafe Sub ws_sleep Lib "kernel32" Alias "Sleep" (ByVal ms As Long)
Private Declare PtrSafe Function ws_ticks Lib "kernel32" Alias "GetTickCount" () As Long

Private started As Boolean
Private listenPorts() As Long
Private listenSockets() As LongPtr
Private listenCount As Long

Private Function Startup() As Boolean
    Dim data As WSADATA_BUFFER
    If Not started Then started = (WSAStartup(&H202, data) = 0)
    Startup = started
End Function

' The IPv4 address of a dotted address or a host name, in network order; 0 if unknown.
Private Function HostAddress(ByVal host As String) As Long
    Dim entry As LongPtr, list As LongPtr, first As LongPtr, address As Long
    address = ws_inet_addr(host)
    If address <> -1 Then HostAddress = address: Exit Function
    entry = ws_gethostbyname(host)
    If entry = 0 Then Exit Function
    ' hostent: name, aliases, (addrtype, length as two shorts), addr_list
    ws_copy list, entry + 2 * LenB(entry) + 4 + IIf(LenB(entry) = 8, 4, 0), LenB(entry)
    ws_copy first, list, LenB(first)
    If first = 0 Then Exit Function
    ws_copy address, first, 4
    HostAddress = address
End Function

Private Function NonBlockingSocket() As LongPtr
    Dim s As LongPtr, mode As Long
    NonBlockingSocket = 0
    If Not Startup() Then Exit Function
    s = ws_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)
    If s = INVALID_SOCKET Then Exit Function
    mode = 1
    If ws_ioctlsocket(s, FIONBIO, mode) <> 0 Then ws_closesocket s: Exit Function
    NonBlockingSocket = s
End Function

Private Function Elapsed(ByVal since As Long) As Long
    Elapsed = ws_ticks() - since
End Function

Public Function WsOpen(ByVal host As String, ByVal port As Long, ByVal timeoutMs As Long) As LongPtr
    Dim s As LongPtr, address As SOCKADDR_IN, since As Long, code As Long
    WsOpen = 0
    address.sin_family = AF_INET
    address.sin_port = ws_htons(port)
    address.sin_addr = HostAddress(host)
    If address.sin_addr = 0 Then Exit Function
    s = NonBlockingSocket()
    If s = 0 Then Exit Function
    since = ws_ticks()
    Do
        If ws_connect(s, address, LenB(address)) = 0 Then Exit Do
        code = WSAGetLastError()
        If code = WSAEISCONN Then Exit Do
        If code <> WSAEWOULDBLOCK And code <> WSAEALREADY And code <> WSAEINVAL Then ws_closesocket s: Exit Function
        If Elapsed(since) > timeoutMs Then ws_closesocket s: Exit Function
        ws_sleep POLL_MS
    Loop
    WsOpen = s
End Function

Public Function WsSend(ByVal s As LongPtr, ByVal text As String) As Boolean
    Dim bytes() As Byte, sent As Long, n As Long, since As Long
    WsSend = False
    If Len(text) = 0 Then WsSend = True: Exit Function
    bytes = StrConv(text, vbFromUnicode)
    since = ws_ticks()
    Do While sent <= UBound(bytes)
        n = ws_send(s, bytes(sent), UBound(bytes) + 1 - sent, 0)
        If n = SOCKET_ERROR Then
            If WSAGetLastError() <> WSAEWOULDBLOCK Then Exit Function
            If Elapsed(since) > 30000 Then Exit Function
            ws_sleep POLL_MS
        Else
            sent = sent + n
        End If
    Loop
    WsSend = True
End Function

Public Function WsRecv(ByVal s As LongPtr, ByVal timeoutMs As Long, ByRef closed As Boolean) As String
    Dim buffer(0 To 4095) As Byte, chunk() As Byte, n As Long, i As Long, since As Long
    closed = False
    WsRecv = ""
    since = ws_ticks()
    Do
        n = ws_recv(s, buffer(0), 4096, 0)
        If n > 0 Then
            ReDim chunk(0 To n - 1)
            For i = 0 To n - 1
                chunk(i) = buffer(i)
            Next i
            WsRecv = StrConv(chunk, vbUnicode)
            Exit Function
        End If
        If n = 0 Then closed = True: Exit Function
        If WSAGetLastError() <> WSAEWOULDBLOCK Then closed = True: Exit Function
        If Elapsed(since) >= timeoutMs Then Exit Function
        ws_sleep POLL_MS
    Loop
End Function

Public Sub WsClose(ByVal s As LongPtr)
    ws_closesocket s
End Sub

Public Function WsListen(ByVal port As Long) As Boolean
    Dim s As LongPtr, address As SOCKADDR_IN
    WsListen = False
    s = NonBlockingSocket()
    If s = 0 Then Exit Function
    address.sin_family = AF_INET
    address.sin_port = ws_htons(port)
    address.sin_addr = 0
    If ws_bind(s, address, LenB(address)) <> 0 Or ws_listen(s, 16) <> 0 Then
        ws_closesocket s
        Exit Function
    End If
    listenCount = listenCount + 1
    ReDim Preserve listenPorts(1 To listenCount)
    ReDim Preserve listenSockets(1 To listenCount)
    listenPorts(listenCount) = port
    listenSockets(listenCount) = s
    WsListen = True
End Function

Public Function WsAccept(ByVal port As Long) As LongPtr
    Dim i As Long, s As LongPtr, mode As Long
    WsAccept = 0
    For i = 1 To listenCount
        If listenPorts(i) = port Then
            s = ws_accept(listenSockets(i), 0, 0)
            If s = INVALID_SOCKET Then Exit Function
            mode = 1
            ws_ioctlsocket s, FIONBIO, mode
            WsAccept = s
            Exit Function
        End If
    Next i
End Function
