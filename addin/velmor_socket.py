# The LibreOffice side of the add-in's socket layer, run by the office's Python
# script provider from inside the workbook. Basic cannot wait on a socket with a
# time limit, and the office's Acceptor blocks its caller without one, so every
# connection and listener lives here: a thread per connection reads its lines
# (NUL-ended) into a queue, and Basic takes them with a time limit or polls them.
# Sockets are the office's own connection services (Connector, Acceptor).
import queue
import threading

import uno

_lock = threading.Lock()
_connections = {}   # handle -> _Connection
_listeners = {}     # port -> _Listener
_last_handle = [0]


def _service(name):
    ctx = uno.getComponentContext()
    return ctx.ServiceManager.createInstanceWithContext(name, ctx)


class _Connection:
    """One connection; its reader thread puts each whole line (NUL included) on
    `lines`, and None once the peer closed or the read failed."""

    def __init__(self, xconnection):
        self.x = xconnection
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        line = bytearray()
        try:
            while True:
                n, data = self.x.read(None, 1)
                if n < 1:
                    break
                line += data.value
                if line[-1] == 0:
                    self.lines.put(line.decode("utf-8", "replace"))
                    line = bytearray()
        except Exception:
            pass
        if line:
            self.lines.put(line.decode("utf-8", "replace"))
        self.lines.put(None)


def _register(xconnection):
    with _lock:
        _last_handle[0] += 1
        _connections[_last_handle[0]] = _Connection(xconnection)
        return _last_handle[0]


def sock_open(host, port, timeout_ms):
    """Connects; the handle, or 0 when no connection came within timeout_ms."""
    result = {}

    def connect():
        try:
            result["x"] = _service("com.sun.star.connection.Connector").connect(
                "socket,host=%s,port=%d,tcpNoDelay=1" % (host, int(port)))
        except Exception:
            result["x"] = None

    worker = threading.Thread(target=connect, daemon=True)
    worker.start()
    worker.join(int(timeout_ms) / 1000.0)
    if worker.is_alive() or result.get("x") is None:
        return 0   # a late connection is dropped with its thread's objects
    return _register(result["x"])


def sock_send(handle, text):
    """Sends the text (UTF-8); 1 when it went out, else 0."""
    conn = _connections.get(int(handle))
    if conn is None:
        return 0
    try:
        conn.x.write(uno.ByteSequence(text.encode("utf-8")))
        conn.x.flush()
        return 1
    except Exception:
        return 0


def sock_recv(handle, timeout_ms):
    """The next received line with its NUL, prefixed "D"; "T" when none came
    within timeout_ms (0: do not wait); "C" when the connection is closed."""
    conn = _connections.get(int(handle))
    if conn is None:
        return "C"
    try:
        if int(timeout_ms) <= 0:
            line = conn.lines.get_nowait()
        else:
            line = conn.lines.get(timeout=int(timeout_ms) / 1000.0)
    except queue.Empty:
        return "T"
    if line is None:
        conn.lines.put(None)   # stays closed for later reads
        return "C"
    return "D" + line


def sock_close(handle):
    with _lock:
        conn = _connections.pop(int(handle), None)
    if conn is not None:
        try:
            conn.x.close()
        except Exception:
            pass
    return 1


class _Listener:
    def __init__(self, port):
        self.port = port
        self.acceptor = _service("com.sun.star.connection.Acceptor")
        self.accepted = queue.Queue()
        self.failed = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                x = self.acceptor.accept("socket,host=0,port=%d,tcpNoDelay=1" % self.port)
            except Exception:
                self.failed.set()
                return
            self.accepted.put(_register(x))


def sock_listen(port):
    """Listens on the port; 1 when listening, 0 when the port cannot be had.
    The office's Acceptor fails at once on a taken port, else waits."""
    port = int(port)
    if port in _listeners:
        return 1
    listener = _Listener(port)
    if listener.failed.wait(0.3):
        return 0
    _listeners[port] = listener
    return 1


def sock_accept(port):
    """A connection that arrived on the listened port, or 0; never waits."""
    listener = _listeners.get(int(port))
    if listener is None:
        return 0
    try:
        return listener.accepted.get_nowait()
    except queue.Empty:
        return 0


def number_text(x):
    """The shortest text that reads back to exactly this double. LibreOffice's
    Basic compares and subtracts doubles approximately, so it cannot check that
    a text it wrote reads back exactly."""
    return repr(float(x))


g_exportedScripts = (sock_open, sock_send, sock_recv, sock_close, sock_listen, sock_accept, number_text)
