#pragma once

// The widths of the task list's columns: a typical width for each column nobody sized yet,
// and the narrowing that lets every column fit the list. GUI thread only.

#include <QByteArray>

class QTreeView;

// The width that shows a typical task's cell of `column` whole, in the list's font.
int TypicalColumnWidth(const QTreeView& view, int column);

// Restores the header `state` saved with `savedColumns` columns. Columns added since, and
// the former last one (stretched to the window's edge), get typical widths; without a
// state every column does. True when the user's widths were restored.
bool RestoreColumns(QTreeView& view, const QByteArray& state, int savedColumns);

// Narrows the name and trigger columns (their cells keep the whole text as a tool tip)
// until every column fits the list without a horizontal scroll bar.
void FitColumnsToView(QTreeView& view);
