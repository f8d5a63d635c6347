# A macro of LibreOffice's, run from a throwaway profile by the tests: opens
# each workbook named in KARVA_CALC_FILES (paths apart by os.pathsep),
# recalculates every formula, and writes to KARVA_CALC_OUT, as JSON, every
# used cell of the first sheet at full precision: a number, a text, null for
# an empty cell or an empty text, or ["error", code] (502 is #NUM!, 532
# #DIV/0!). Then it closes LibreOffice.
import json
import os

from com.sun.star.beans import PropertyValue

TEXT = 2  # com.sun.star.sheet.FormulaResult.STRING


def cell_value(cell):
    kind = cell.getType().value
    if cell.getError():
        return ["error", cell.getError()]
    if kind == "EMPTY":
        return None
    if kind == "TEXT" or (kind == "FORMULA" and cell.FormulaResultType2 == TEXT):
        return cell.getString() or None
    return cell.getValue()


def read_back(*args):
    desktop = XSCRIPTCONTEXT.getDesktop()  # noqa: F821 (LibreOffice provides it)
    hidden = PropertyValue()
    hidden.Name, hidden.Value = "Hidden", True
    out = {}
    try:
        for path in os.environ["KARVA_CALC_FILES"].split(os.pathsep):
            doc = desktop.loadComponentFromURL("file://" + path, "_blank", 0, (hidden,))
            doc.calculateAll()
            sheet = doc.Sheets.getByIndex(0)
            cursor = sheet.createCursor()
            cursor.gotoEndOfUsedArea(False)
            end = cursor.RangeAddress
            out[path] = [[cell_value(sheet.getCellByPosition(c, r)) for c in range(end.EndColumn + 1)]
                         for r in range(end.EndRow + 1)]
            doc.close(True)
    finally:
        with open(os.environ["KARVA_CALC_OUT"], "w") as f:
            json.dump(out, f)
        desktop.terminate()
