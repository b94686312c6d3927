// The shape shared by "Choose Name" and "Choose Port": a label, one edit and
// the buttons Cancel and OK (the default button).
#pragma once

#include <QString>

class QDialog;
class QLineEdit;

namespace pallorwind::win {

// Lays out `dialog` with `caption`, `label` and a new edit, which it returns.
QLineEdit* BuildEntryDialog(QDialog* dialog, const QString& caption, const QString& label);

} // namespace pallorwind::win
