Attribute VB_Name = "clock_sheet"
' Puts a live clock into cell A1 of the active sheet.
Public Sub StartClock()
    ActiveSheet.Range("A1").Formula = "=show_time(1, 3600)"
End Sub
