Attribute VB_Name = "employee_sheet"
' Fills the sheet Employees with the server's employee list.
Public Sub RefreshEmployees()
    Dim db() As Employee
    Dim n As Integer
    Dim i As Integer
    n = get_db(db)

    For i = 0 To n - 1
        Worksheets("Employees").Cells(i + 1, 1).Value = db(i).name
        Worksheets("Employees").Cells(i + 1, 2).Value = db(i).salary
        Worksheets("Employees").Cells(i + 1, 3).Value = db(i).bonus
        Worksheets("Employees").Cells(i + 1, 4).Value = db(i).tax
    Next i
End Sub
