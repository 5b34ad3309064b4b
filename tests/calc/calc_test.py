#!/usr/bin/python3
"""The client add-in of addin/ with the samples' generated VBA modules, in a headless
LibreOffice Calc, against a real Velmord started here: cells and macros give what
velmor_client gives. Usage: calc_test.py SOURCE_DIR BUILD_DIR [unittest options]."""
import importlib.machinery
import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE, BUILD = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
del sys.argv[1:3]

_loader = importlib.machinery.SourceFileLoader("make_calc_book", os.path.join(SOURCE, "tools", "make_calc_book"))
book_tool = importlib.util.module_from_spec(importlib.util.spec_from_loader("make_calc_book", _loader))
_loader.exec_module(book_tool)

MODULES = ["sample_threads", "sample_threads_async", "sample_streams", "sample_employee_db", "text_file_transfer"]
# Each book holds modules whose public names do not clash (the async sample
# publishes the same names as sample_threads).
PLAIN_BOOK = ["sample_threads", "sample_employee_db", "text_file_transfer"]
CALLBACK_BOOK = ["sample_threads_async", "sample_streams"]

# Test-only macros, run in the books beside the modules under test.
CHECKS = """
Function Joined(v As Variant) As String
    Dim i As Long, s As String
    If Not IsArray(v) Then Joined = "<" & v & ">": Exit Function
    For i = LBound(v) To UBound(v)
        If i > LBound(v) Then s = s & "|"
        s = s & v(i)
    Next i
    Joined = s
End Function
' A typed array, as the generated worksheet functions copy into one.
Function Values3(a As Double, b As Double, c As Double) As Variant
    Dim v(0 To 2) As Double
    v(0) = a: v(1) = b: v(2) = c
    Values3 = v
End Function
Function ReversedInPlace() As String
    Dim v() As Double, n As Variant
    v = Values3(1.5, 2, 3)
    n = reverse_range_passby_reference(v)
    ReversedInPlace = n & ":" & Joined(v)
End Function
Function ReversedArray() As String
    ReversedArray = Joined(reverse_range_returns_array(Values3(1.5, 2, 3), 3))
End Function
Function FileLines(path As String) As String
    FileLines = Joined(get_file(path))
End Function
Function EmployeesRoundTrip() As String
    Dim db() As Employee, back() As Employee, n As Variant, i As Long, s As String
    ReDim db(0 To 1)
    db(0) = Employee(Array("Ann", 1, 2.5, 3))   ' the module's own record builder
    db(1) = Employee(Array("Bob", 4, 5, 0.1))
    n = update_db(db)
    s = n & ":" & get_db(back) & ":"
    For i = 0 To UBound(back)
        s = s & back(i).name & "," & back(i).salary & "," & back(i).bonus & "," & back(i).tax & ";"
    Next i
    EmployeesRoundTrip = s
End Function
Function StartReversal() As String
    StartReversal = reverse_range_returns_array(Values3(1.5, 2, 3), 3)
End Function
Function ResultOf(reply As String) As String
    ResultOf = Joined(VelmorResult(reply))
End Function
Function AverageOf(a As Double, b As Double, c As Double) As Variant
    AverageOf = range_average(Values3(a, b, c))
End Function
Function NumberTextOf(x As Double) As String
    NumberTextOf = NumberText(x)
End Function
Function Alive() As String
    Alive = "alive"
End Function
"""


def prop(name, value):
    return book_tool._property(name, value)


def wait_until(predicate, seconds, step=0.2):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def port_free(port):
    import socket
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) != 0


class Velmord:
    """The server with the samples' definition files copied into a directory of its
    own (their library paths made absolute), so that the test may change them."""

    def __init__(self, root):
        self.root = root
        self.defs = os.path.join(root, "defs")
        self.log = os.path.join(root, "wrappers")
        os.makedirs(self.defs)
        os.makedirs(self.log)
        for name in MODULES:
            with open(os.path.join(SOURCE, "samples", name + ".def")) as f:
                text = f.read()
            text = text.replace("../build/lib/", os.path.join(BUILD, "lib") + "/")
            text = text.replace("../samples/", os.path.join(SOURCE, "samples") + "/")
            with open(os.path.join(self.defs, name + ".def"), "w") as f:
                f.write(text)
        self.process = None
        self.port = None

    def start(self, port=None):
        import random
        for _ in range(5):
            self.port = port or next(p for p in (random.randint(20000, 32000) for _ in range(100)) if port_free(p))
            env = dict(os.environ, VELMOR_LOG_DIR=self.log, VELMOR_BIN_DIR=os.path.join(BUILD, "bin"),
                       EXECUTION_MODEL="PROCESS_PER_USER", MAX_PROCESSES="1")
            env.pop("ALLOW_CLIENTS", None)
            env.pop("MAX_PVM_PROCESSES", None)
            out = open(os.path.join(self.root, "velmord.log"), "a")
            self.process = subprocess.Popen(
                [os.path.join(BUILD, "bin", "Velmord"), "-p", str(self.port)] +
                [os.path.join(self.defs, n + ".def") for n in MODULES],
                cwd=self.log, env=env, stdout=out, stderr=subprocess.STDOUT)
            out.close()
            # stub compiles take long on a busy machine
            if wait_until(lambda: self.process.poll() is not None or not port_free(self.port), 300):
                if self.process.poll() is None:
                    return
            self.process.wait()
            if port:
                break
        raise RuntimeError("Velmord did not start; see " + os.path.join(self.root, "velmord.log"))

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGHUP)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def client(self, *args):
        out = subprocess.run([os.path.join(BUILD, "bin", "velmor_client"), "-p", str(self.port)] + list(args),
                             capture_output=True, text=True, timeout=60)
        return out.stdout.strip().splitlines()


class Book:
    """A workbook made by make_calc_book, loaded in the office with macros allowed,
    with the test's macros beside its modules."""

    def __init__(self, office, path, modules, port, root):
        paths = [os.path.join(root, "wrappers", m + ".bas") for m in modules]
        paths += [os.path.join(SOURCE, "samples", "vba", f) for f in ("employee_sheet.bas", "clock_sheet.bas")]
        book_tool.build_book(office.desktop, path, paths, "127.0.0.1", port, ["Employees"])
        self.doc = office.desktop.loadComponentFromURL("file://" + path, "_blank", 0,
                                                      (prop("MacroExecutionMode", 4),))
        library = self.doc.BasicLibraries.getByName("VBAProject")
        checks = book_tool.variant_record_arrays(book_tool.rename_members(CHECKS, {"name"}), {"Employee"})
        library.insertByName("Checks", "Option VBASupport 1\n" + checks)
        self.sheet = self.doc.Sheets.getByIndex(0)

    def run(self, routine, *args):
        script = self.doc.getScriptProvider().getScript(
            "vnd.sun.star.script:VBAProject.%s?language=Basic&location=document" % routine)
        return script.invoke(args, (), ())[0]

    def cell(self, name):
        return self.sheet.getCellRangeByName(name)

    def close(self):
        self.doc.close(True)


def numbers(line):
    """The numbers of a velmor_client line such as "[3,2,1]" or "values = [3,2,1]"."""
    return [float(x) for x in re.findall(r"-?[0-9.]+(?:e[-+]?[0-9]+)?", line.split("=")[-1])]


class CalcTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="velmor_calc_")
        cls.server = Velmord(cls.root)
        cls.office = None
        try:
            cls.server.start()
            cls.office = book_tool.Office()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.office:
            cls.office.close()
        cls.server.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def open_book(self, name, modules):
        book = Book(self.office, os.path.join(self.root, name), modules, self.server.port, self.root)
        self.addCleanup(book.close)
        return book

    def test_plain_calls_in_cells_and_macros(self):
        book = self.open_book("plain.ods", PLAIN_BOOK)
        for row, value in enumerate([1, 2, 6.5]):
            book.cell("A%d" % (row + 1)).setValue(value)
        book.cell("B1").setFormula("=RANGE_AVERAGE(A1:A3)")
        book.cell("C1:E1").setArrayFormula("=REVERSE_RANGE_RETURNS_ARRAY(A1:A3;3)")
        self.doc_calculate(book)
        expected = numbers(self.server.client("call", "sample_threads", "range_average", "[1,2,6.5]")[-1])
        self.assertEqual(book.cell("B1").getValue(), expected[0])
        reversed_ = numbers(self.server.client("call", "sample_threads", "reverse_range_returns_array",
                                               "[1,2,6.5]", "3")[-1])
        self.assertEqual([book.cell(c).getValue() for c in ("C1", "D1", "E1")], reversed_)
        # full precision both ways: a third travels and comes back whole
        third = numbers(self.server.client("call", "sample_threads", "range_average", "[1,0,0]")[-1])[0]
        self.assertEqual(book.run("Checks.AverageOf", 1.0, 0.0, 0.0), third)
        # outbound argument, array result, open-ended range result, from macros
        lines = self.server.client("call", "sample_threads", "reverse_range_passby_reference", "[1.5,2,3]")
        self.assertEqual(book.run("Checks.ReversedInPlace"),
                         "%d:%s" % (numbers(lines[-1])[0], "|".join("%g" % v for v in numbers(lines[0]))))
        self.assertEqual(book.run("Checks.ReversedArray"), "3|2|1.5")
        with open(os.path.join(self.root, "two_lines.txt"), "w") as f:
            f.write("first line\nsecond\n")
        self.assertEqual(book.run("Checks.FileLines", os.path.join(self.root, "two_lines.txt")),
                         "first line\n|second\n")

    def doc_calculate(self, book):
        book.doc.calculateAll()

    def test_records_fill_the_employee_sheet(self):
        book = self.open_book("records.ods", PLAIN_BOOK)
        self.server.client("call", "sample_employee_db", "update_db", "[]")   # back to the defaults
        book.run("employee_sheet.RefreshEmployees")
        expected = re.findall(r"\{([^,}]*),([^,}]*),([^,}]*),([^,}]*)\}",
                              self.server.client("call", "sample_employee_db", "get_db", "[]")[0])
        self.assertEqual(len(expected), 26)
        sheet = book.doc.Sheets.getByName("Employees")
        for row, (name, salary, bonus, tax) in enumerate(expected):
            got = [sheet.getCellByPosition(col, row) for col in range(4)]
            self.assertEqual(got[0].getString(), name)
            self.assertEqual([c.getValue() for c in got[1:]], [float(salary), float(bonus), float(tax)])
        # records both ways: update_db takes two, get_db gives them back
        self.assertEqual(book.run("Checks.EmployeesRoundTrip"), "2:2:Ann,1,2.5,3;Bob,4,5,0.1;")
        self.assertEqual(self.server.client("call", "sample_employee_db", "get_db", "[]")[0],
                         "db = [{Ann,1,2.5,3},{Bob,4,5,0.1}]")
        self.server.client("call", "sample_employee_db", "update_db", "[]")

    def test_thread_result_reaches_its_cell(self):
        book = self.open_book("thread.ods", CALLBACK_BOOK)
        for row, value in enumerate([1, 2, 6]):
            book.cell("A%d" % (row + 1)).setValue(value)
        book.cell("B1").setFormula("=RANGE_AVERAGE(A1:A3)")
        self.assertEqual(wait_until(lambda: book.cell("B1").getValue() == 3.0 and book.cell("B1").getString(), 20),
                         "3", book.cell("B1").getString())
        self.assertIn("results=1 ended=1", book.run("PelnorCallback.VelmorCallStatus", "Sheet1!$B$1"))
        # a range result comes on a connection of its own, read by the module's rec_ routine
        reply = book.run("Checks.StartReversal")
        self.assertRegex(reply, r"^#THREAD_.*\|127\.0\.0\.1\|%d\|.*rec_reverse_range_returns_array$" % self.server.port)
        self.assertEqual(wait_until(lambda: book.run("Checks.ResultOf", reply) != "<>" and
                                    book.run("Checks.ResultOf", reply), 20), "3|2|1.5")

    def test_stream_updates_its_cell_until_its_formula_is_removed(self):
        book = self.open_book("stream.ods", CALLBACK_BOOK)
        book.cell("B2").setFormula("=SHOW_ELAPSED(1;60)")
        seen = set()

        def three_values():
            text = book.cell("B2").getString()
            if re.fullmatch(r"[0-9]+", text):
                seen.add(int(text))
            return len(seen) >= 3

        self.assertTrue(wait_until(three_values, 20), "values seen: %s, cell: %s" % (seen, book.cell("B2").getString()))
        book.cell("B2").setString("")
        status = lambda: book.run("PelnorCallback.VelmorCallStatus", "Sheet1!$B$2")  # noqa: E731
        self.assertTrue(wait_until(lambda: "stopped=1" in status(), 10), status())
        results = status()
        time.sleep(3)   # a stream that still ran would have sent two more values by now
        self.assertEqual(status(), results)
        self.assertEqual(book.cell("B2").getString(), "")

    def test_zz_errors_out_of_date_and_no_server(self):
        book = self.open_book("errors.ods", PLAIN_BOOK)
        book.cell("A1").setValue(4)
        book.cell("B1").setFormula("=RANGE_AVERAGE(A1)")
        book.doc.calculateAll()
        self.assertEqual(book.cell("B1").getValue(), 4.0)
        # the server stopped: the cell says so at once
        self.server.stop()
        book.doc.calculateAll()
        self.assertEqual(book.cell("B1").getString(), "#LIB_ERROR")
        # the definition file changed since the module was generated
        path = os.path.join(self.server.defs, "sample_threads.def")
        later = os.stat(path).st_mtime + 120
        os.utime(path, (later, later))
        self.server.start(self.server.port)
        book.doc.calculateAll()
        self.assertEqual(book.cell("B1").getString(), "#OUT_OF_DATE")

    def test_numbers_travel_whole_and_the_winsock_module_compiles(self):
        book = self.open_book("numbers.ods", PLAIN_BOOK)
        for value in (0.5, 1 / 3, -2.5e20, 1e-300, 0.1 + 0.2, 7.0, 1.7976931348623157e308, 5e-324,
                      123456789012345678.0, 2.0 ** -1074 * 3):
            text = book.run("Checks.NumberTextOf", value)
            self.assertEqual(float(text), value, text)
        # LibreOffice compiles a library's modules together, and one module it cannot
        # compile leaves every routine of the library dead (no routine answers): the
        # book holds the Windows socket module, and its routines answer.
        self.assertTrue(book.doc.BasicLibraries.getByName("VBAProject").hasByName("PelnorWinsock"))
        self.assertEqual(book.run("Checks.Alive"), "alive")


if __name__ == "__main__":
    unittest.main(verbosity=2)
